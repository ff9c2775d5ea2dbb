/* A minimal application of libkestrel's wake-word engine, in C.
 *
 *   example_wake MODEL PHONE_TABLE TEXT PHONES AUDIO
 *
 * Builds the engine's store, creates an instance, sets one wake word (TEXT,
 * pronounced PHONES) and feeds AUDIO, read and converted to 16 kHz by the
 * library, in blocks of 1920 samples (12 frames), the block size the front
 * end uses. Prints every result with the detected word and where it lies.
 *
 * With the built-in example (kestrel-example DIR):
 *   example_wake DIR/tones.nnet DIR/tones.phones tones "lo|# mid|# hi|#" DIR/tones.wav */
#include <kestrel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BLOCK 1920

int main(int argc, char** argv) {
  if (argc != 6) {
    fprintf(stderr, "usage: %s MODEL PHONE_TABLE TEXT PHONES AUDIO\n", argv[0]);
    return 2;
  }
  /* The recording belongs to us until w6_aud_free. */
  w6_aud_data* audio = w6_aud_in(argv[5], 16000);
  if (audio == NULL || audio->channels < 1) {
    fprintf(stderr, "example_wake: cannot read %s\n", argv[5]);
    return 1;
  }
  w6_vt_sysinit(argv[1], argv[2]);
  int64_t vt = w6_vt_create(audio->channels);
  if (vt == 0) {
    fprintf(stderr, "example_wake: no usable model in %s\n", argv[1]);
    w6_vt_sysexit();
    w6_aud_free(audio);
    return 1;
  }

  /* The engine copies the record: it may go away after the call. */
  WordInfo* word = calloc(1, sizeof(WordInfo));
  word->WordType = 1;
  strncpy(word->WordContent, argv[3], sizeof(word->WordContent) - 1);
  strncpy(word->WordContent_Phone, argv[4], sizeof(word->WordContent_Phone) - 1);
  word->BlockAvgScore = 3.0f;
  word->BlockMinScore = -1.0f;
  word->ClassifyNnetShield = -0.3f;
  int refused = w6_vt_setwords(vt, word, 1);
  free(word);
  if (refused) {
    fprintf(stderr, "example_wake: the word cannot be built from %s\n", argv[2]);
    return 1;
  }

  const float* channels[16];
  int blocks = 0;
  for (int at = 0; at < audio->samples; at += BLOCK, ++blocks) {
    int n = audio->samples - at < BLOCK ? audio->samples - at : BLOCK;
    for (int c = 0; c < audio->channels && c < 16; ++c) channels[c] = audio->data[c] + at;
    int flags = w6_vt_process(vt, channels, n, 0);
    const WordInfo* w = NULL;
    const WordDetInfo* info = NULL;
    /* Both records belong to the engine: read them, never free them. */
    if (flags != 0 && w6_vt_getdetwordinfo(vt, &w, &info, 0) == 0) {
      double end = (at + n) / 16000.0;
      printf("flags %d word %s from %.2f s to %.2f s\n", flags, w->WordContent, end - info->StartOffset / 16000.0,
             end - info->EndOffset / 16000.0);
    }
  }
  printf("processed %d blocks\n", blocks);
  w6_vt_free(vt);
  w6_vt_sysexit();
  w6_aud_free(audio);
  return 0;
}

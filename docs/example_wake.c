/* A minimal application of libkestrel's wake-word engine, in C.
 *
 *   example_wake MODEL PHONE_TABLE [WAV]
 *
 * Builds the engine's store, creates a one-channel instance, sets one wake
 * word and feeds 16 kHz audio in blocks of 1920 samples (12 frames), the
 * block size the front end uses. Audio comes from WAV (16-bit mono) when
 * given, otherwise one second of silence. Prints every result flag. */
#include <kestrel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define BLOCK 1920

static int read_block(FILE* f, float* dst) {
  short pcm[BLOCK];
  size_t got = f ? fread(pcm, sizeof(short), BLOCK, f) : 0;
  for (size_t i = 0; i < BLOCK; ++i) dst[i] = i < got ? (float)pcm[i] : 0.0f;
  return (int)got;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: %s MODEL PHONE_TABLE [WAV]\n", argv[0]);
    return 2;
  }
  w6_vt_sysinit(argv[1], argv[2]);
  int64_t vt = w6_vt_create(1);
  if (vt == 0) {
    fprintf(stderr, "example_wake: no usable model in %s\n", argv[1]);
    w6_vt_sysexit();
    return 1;
  }

  /* The engine copies the records: this array may go away after the call. */
  WordInfo* word = calloc(1, sizeof(WordInfo));
  word->WordType = 1;
  strcpy(word->WordContent, "hello");
  strcpy(word->WordContent_Phone, "h e|# l o|#");
  word->BlockAvgScore = 3.0f;
  word->BlockMinScore = -1.0f;
  word->ClassifyNnetShield = -0.3f;
  w6_vt_setwords(vt, word, 1);
  free(word);

  FILE* wav = NULL;
  if (argc > 3) {
    wav = fopen(argv[3], "rb");
    if (wav == NULL || fseek(wav, 44, SEEK_SET) != 0) {
      fprintf(stderr, "example_wake: cannot read %s\n", argv[3]);
      return 1;
    }
  }
  float samples[BLOCK];
  const float* channels[1] = {samples};
  int blocks = 0;
  for (;;) {
    int got = read_block(wav, samples);
    if (wav ? got == 0 : blocks == 8) break;
    int flags = w6_vt_process(vt, channels, BLOCK, 0);
    ++blocks;
    if (flags != 0) {
      const WordInfo* w = NULL;
      const WordDetInfo* info = NULL;
      /* Both records belong to the engine: read them, never free them. */
      if (w6_vt_getdetwordinfo(vt, &w, &info, 0) == 0)
        printf("block %d: flags %d word %s start %d end %d\n", blocks, flags, w->WordContent,
               info->StartOffset, info->EndOffset);
    }
  }
  printf("processed %d blocks\n", blocks);
  if (wav) fclose(wav);
  w6_vt_free(vt);
  w6_vt_sysexit();
  return 0;
}

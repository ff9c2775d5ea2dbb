// kestrel-example: writes the built-in example of the wake-word engine into
// a folder: a small acoustic model whose "phones" are three tones, its
// log-priors, a phone table, a word list, and a recording in which the tone
// word is spoken between stretches of noise and silence.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "tests/support/wake_fixture.h"

using testing_support::Scene;
using testing_support::ToneWord;

int main(int argc, char** argv) {
  if (argc != 2 || std::strcmp(argv[1], "--help") == 0) {
    std::FILE* out = argc == 2 ? stdout : stderr;
    std::fputs(
        "usage: kestrel-example DIR\n"
        "\n"
        "Writes the built-in example into DIR (created if missing):\n"
        "  tones.nnet, tones.nnet.prior  acoustic model and its log-priors\n"
        "  tones.phones                  binary phone table (sil, lo, mid, hi)\n"
        "  words.txt                     the word: tones = lo|# mid|# hi|#\n"
        "  tones.wav                     16 kHz: noise, the tone word, silence, the\n"
        "                                tones in the wrong order\n"
        "Then: kestrel-vt --words DIR/words.txt DIR/tones.nnet DIR/tones.phones DIR/tones.wav\n",
        out);
    return argc == 2 ? 0 : 2;
  }
  const std::string dir = argv[1];
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "kestrel-example: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
    return 1;
  }
  Scene scene(3);
  scene.Quiet(0.5).Noise(0.8, 2000.0f).Quiet(0.7).Tones();
  const int start = scene.wordStart, end = scene.wordEnd;
  scene.Quiet(1.0).Tones({2, 1, 0}).Quiet(1.0);  // the same tones in the wrong order: no word
  std::FILE* words = std::fopen((dir + "/words.txt").c_str(), "w");
  bool ok = words != nullptr && std::fprintf(words, "; word = phone list\ntones = lo|# mid|# hi|#\n") > 0;
  if (words != nullptr) ok = std::fclose(words) == 0 && ok;
  ok = ok && ToneWord::WriteModel(dir + "/tones.nnet") && ToneWord::WritePhoneTable(dir + "/tones.phones") &&
       testing_support::WriteWav16(dir + "/tones.wav", scene.samples);
  if (!ok) {
    std::fprintf(stderr, "kestrel-example: cannot write the example into %s\n", dir.c_str());
    return 1;
  }
  std::printf("example written to %s (the word \"tones\" starts at %.2f s and ends at %.2f s)\n", dir.c_str(),
              start / 16000.0, end / 16000.0);
  return 0;
}

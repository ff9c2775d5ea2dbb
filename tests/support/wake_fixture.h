// A wake word made of tones, for end-to-end tests, the benchmark and the
// built-in example. Three "phones" lo, mid and hi are pure tones at the
// centres of three mel bands; a small acoustic model gives each phone an
// output that responds to the energy of its own band relative to the other
// two, plus a silence output, so that the tone sequence lo mid hi is the
// spoken word "tones" (phone list "lo|# mid|# hi|#", one block per phone).
//
// The model is one affine layer from the engine's 957 spliced features (only
// the centre frame's static filter-bank values are used) to 4 outputs, then
// log-softmax; its log-priors make a clearly heard tone score about 4 against
// the word's threshold of 3.
//
// Synthesis: each tone lasts 200 ms; the first fades from 1.25 to 0.75 of the
// level, the last rises from 0.75 to 1.25, so the best path starts exactly
// at the word's first tone and the score peaks when the last tone ends.
#ifndef KESTREL_TESTS_SUPPORT_WAKE_FIXTURE_H
#define KESTREL_TESTS_SUPPORT_WAKE_FIXTURE_H

#include <string>
#include <vector>

#include "include/kestrel.h"

namespace testing_support {

class ToneWord {
 public:
  static constexpr int kRate = 16000;
  static constexpr int kOutputs = 4;       // sil, lo, mid, hi
  static constexpr int kToneSamples = 3200;  // 200 ms per phone
  static constexpr float kToneLevel = 8000.0f;
  static constexpr float kQuietSd = 30.0f;  // background between words

  // Centre frequency (Hz) of phone p = 0 (lo), 1 (mid), 2 (hi).
  static float ToneHz(int p);
  // Writes the acoustic model to path and its log-priors to path + ".prior".
  static bool WriteModel(const std::string& path);
  // Writes the binary phone table (sil, lo, mid, hi).
  static bool WritePhoneTable(const std::string& path);
  // The word's record: "tones", type 1, threshold 3.0, no checks.
  static WordInfo Word();
};

// 16 kHz mono audio built segment by segment; positions in samples.
class Scene {
 public:
  explicit Scene(unsigned seed = 1);
  // Quiet background noise (standard deviation ToneWord::kQuietSd).
  Scene& Quiet(double seconds);
  // White noise of the given standard deviation.
  Scene& Noise(double seconds, float sd);
  // The three tones in the given order (0 lo, 1 mid, 2 hi) over quiet
  // background; records where the word starts and ends.
  Scene& Tones(const std::vector<int>& order = {0, 1, 2});

  std::vector<float> samples;
  int wordStart = -1;
  int wordEnd = -1;

 private:
  float Gauss();
  unsigned long long state_;
};

// Writes a 16-bit mono WAV file through the library's writer.
bool WriteWav16(const std::string& path, const std::vector<float>& samples, int rate = ToneWord::kRate);

}  // namespace testing_support

#endif

// Voice-activity detector: per-frame speech decisions from an adaptive noise
// floor on a speech-band energy combined with the speech probability of
// SpeexDSP's spectral noise estimator; an utterance state machine on top
// (start after 5 speech frames of 8, end after a run of non-speech frames)
// that keeps the utterance's samples.
#ifndef PLATFORM_WREN_DETECTOR_H
#define PLATFORM_WREN_DETECTOR_H

#include <cstdint>
#include <vector>

struct SpeexPreprocessState_;

namespace wren {

class Detector {
 public:
  static constexpr int kFrame = 160;
  static constexpr int kHistory = 32;     // frames kept for starts that reach back
  static constexpr int kWindow = 8;       // start: kNeeded speech frames of the last kWindow
  static constexpr int kNeeded = 5;
  static constexpr int kPreroll = 10;    // frames kept before the first speech frame
  static constexpr int kDefaultEnd = 45;
  static constexpr int kDefaultLongest = 1000;
  static constexpr int kMaxLongest = 6000;

  explicit Detector(int mode);
  ~Detector();
  Detector(const Detector&) = delete;
  Detector& operator=(const Detector&) = delete;

  // False when memory or the estimator could not be had.
  bool ok() const { return pre_ != nullptr && !voice_.empty(); }

  // Returns false (and changes nothing) for an unknown number or a value out
  // of range.
  bool SetParam(int param, int value);
  // One frame of kFrame samples; returns whether it was judged speech.
  bool Input(const float* x);
  void Restart();
  void ForceStart(int back);

  int start() const { return start_; }
  int stop() const { return stop_; }
  int length() const { return length_; }
  const float* voice() const { return voice_.data(); }
  float last_energy() const { return last_energy_; }
  float threshold() const { return floor_ * margin_; }

 private:
  float Energy(const float* x);
  bool Judge(const float* x, float e);
  void Begin(int first, int now);
  void Append(const float* x);
  void End(int length);

  // settings
  float margin_;                 // threshold / floor (amplitude ratio)
  int end_silence_ = kDefaultEnd;
  int longest_ = kDefaultLongest;
  int end_mode_ = 1;

  // analysis
  SpeexPreprocessState_* pre_ = nullptr;
  int16_t pcm_[kFrame];
  double hp_b_[3], hp_a_[2], hp_z_[2] = {0.0, 0.0};  // 120-Hz high-pass (biquad)
  float floor_ = 0.f;
  bool floor_set_ = false;
  float last_energy_ = 0.f;

  // frames since the last restart
  int frames_ = 0;
  uint32_t decisions_ = 0;       // bit i: frame frames_-1-i was speech
  std::vector<float> history_;   // kHistory frames, frame f at slot f % kHistory

  // utterance
  bool forced_ = false;
  int force_back_ = 0;
  int start_ = -1;
  int stop_ = 0;
  bool ended_ = false;
  int length_ = 0;
  int last_speech_ = -1;
  int silence_run_ = 0;
  std::vector<float> voice_;     // longest_ * kFrame
};

}  // namespace wren

#endif  // PLATFORM_WREN_DETECTOR_H

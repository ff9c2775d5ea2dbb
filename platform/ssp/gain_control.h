// Automatic gain control for 16-bit speech: SpeexDSP's preprocessor adapts a
// gain on frames it judges to be speech, then a peak limiter keeps the result
// within -1 dBFS, because the adaptive gain reacts after the fact and a
// clipped sample is worse than a briefly lowered one.
#ifndef PLATFORM_SSP_GAIN_CONTROL_H
#define PLATFORM_SSP_GAIN_CONTROL_H

#include <cstdint>
#include <vector>

struct SpeexPreprocessState_;

namespace w6ssp {

class GainControl {
 public:
  static constexpr float kCeiling = 32767.f * 0.89125094f;  // -1 dBFS

  GainControl() = default;
  ~GainControl();
  GainControl(const GainControl&) = delete;
  GainControl& operator=(const GainControl&) = delete;

  bool Init(int frame, int rate);
  bool ready() const { return state_ != nullptr; }
  bool Reset();
  void Process(int16_t* samples);

 private:
  SpeexPreprocessState_* state_ = nullptr;
  int frame_ = 0;
  int rate_ = 0;
  float limit_gain_ = 1.f;   // limiter gain at the end of the last frame
  float release_ = 1.f;      // per-frame recovery factor of the limiter
  std::vector<float> work_;
  std::vector<int16_t> pcm_;
};

}  // namespace w6ssp

#endif  // PLATFORM_SSP_GAIN_CONTROL_H

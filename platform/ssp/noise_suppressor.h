// Single-channel noise suppressor on SpeexDSP's preprocessor (spectral gains
// from a continuously adapting noise estimate). The front end's samples have
// full scale 2^21; the filter works on 16 bits, so frames are scaled down (with
// saturation) on the way in and back up on the way out.
#ifndef PLATFORM_SSP_NOISE_SUPPRESSOR_H
#define PLATFORM_SSP_NOISE_SUPPRESSOR_H

#include <cstdint>
#include <vector>

struct SpeexPreprocessState_;

namespace w6ssp {

class NoiseSuppressor {
 public:
  NoiseSuppressor() = default;
  ~NoiseSuppressor();
  NoiseSuppressor(const NoiseSuppressor&) = delete;
  NoiseSuppressor& operator=(const NoiseSuppressor&) = delete;

  // Frames of rate / 100 samples; false when the filter cannot be made.
  bool Init(int rate);
  // 0..3 (clamped): 6, 12, 18 or 24 dB of suppression.
  void SetMode(int mode);
  bool ready() const { return state_ != nullptr; }
  // One frame; in and out may alias.
  void Process(const float* in, float* out);

 private:
  void Apply();

  SpeexPreprocessState_* state_ = nullptr;
  int frame_ = 0;
  int mode_ = 2;
  std::vector<int16_t> pcm_;
};

}  // namespace w6ssp

#endif  // PLATFORM_SSP_NOISE_SUPPRESSOR_H

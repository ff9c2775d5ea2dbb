// Far-field delay-and-sum beamformer. Every channel passes through a
// fractional-delay filter (Kaiser-windowed sinc) that lines a plane wave from
// the look direction up with the array centre; the beam is the mean of the
// aligned channels. A change of steering or of the sampling delays fades from
// the old filters to the new ones over one frame, so the output stays smooth.
#ifndef PLATFORM_SSP_BEAMFORMER_H
#define PLATFORM_SSP_BEAMFORMER_H

#include <vector>

namespace w6ssp {

class Beamformer {
 public:
  static constexpr int kTaps = 32;      // fractional-delay filter length
  static constexpr int kMaxMics = 64;
  static constexpr float kSoundSpeed = 343.3f;  // m/s, as the localiser assumes

  // positions: 3 per microphone (metres). Callers validate the ranges.
  Beamformer(const float* positions, int mics);

  // Frame length and rate; clears the channel history.
  void Init(int frame, int rate);
  // Seconds per microphone; the caller checks the count and range.
  void SetDelays(const float* delays);
  // Physical look direction (radians).
  void Steer(float azimuth, float elevation);
  // input planar (frame per microphone), output one frame.
  void Process(const float* input, float* output);

  int mics() const { return mics_; }
  int frame() const { return frame_; }

 private:
  // Designs the filters for the current look direction and delays into
  // taps/shifts.
  void Design(std::vector<float>& taps, std::vector<int>& shifts) const;
  // Sizes the history for the largest delay any steering can ask for.
  void SizeHistory();
  // Filters all channels with the given set and averages into out.
  void Beam(const std::vector<float>& taps, const std::vector<int>& shifts, float* out) const;

  int mics_;
  int frame_ = 160;
  int rate_ = 16000;
  std::vector<float> pos_;     // 3 per microphone
  std::vector<float> delays_;  // seconds per microphone
  float azimuth_ = 0.f;
  float elevation_ = 0.f;

  int history_ = 0;          // samples kept per channel before the frame
  std::vector<float> buf_;   // per channel: history_ + frame_ samples
  std::vector<float> taps_, old_taps_;     // kTaps per channel
  std::vector<int> shifts_, old_shifts_;   // whole-sample part per channel
  bool fade_ = false;        // the next frame fades from old_* to the current set
  std::vector<float> fade_in_;   // raised-cosine ramp over one frame
  std::vector<float> scratch_;   // one frame (output of the old set)
};

}  // namespace w6ssp

#endif  // PLATFORM_SSP_BEAMFORMER_H

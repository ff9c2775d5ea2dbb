// Multi-channel echo canceller on SpeexDSP's adaptive block filter: one
// filter per microphone and loudspeaker reference, 256-sample frames, a
// 128-ms tail (it converges markedly faster than 256 ms on rooms of about
// 100 ms, and longer rooms gain little from the extra taps).
#ifndef PLATFORM_SSP_ECHO_CANCELLER_H
#define PLATFORM_SSP_ECHO_CANCELLER_H

#include <cstdint>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace w6ssp {

class EchoCanceller {
 public:
  static constexpr int kFrame = 256;
  static constexpr int kTailMs = 128;
  // A reference channel with a frame RMS at or above this (16-bit scale,
  // -78 dBFS) carries playback; below it is silence or converter noise.
  static constexpr float kPlaybackRms = 4.f;

  EchoCanceller() = default;
  ~EchoCanceller();
  EchoCanceller(const EchoCanceller&) = delete;
  EchoCanceller& operator=(const EchoCanceller&) = delete;

  bool Init(int rate, int mics, int refs);
  bool ready() const { return echo_ != nullptr; }
  int mics() const { return mics_; }
  int refs() const { return refs_; }

  // Planar reference frame (kFrame per reference), kept for the next Process.
  void BufferFarend(const float* ref);
  // Planar microphone frames in and out; returns true when the reference used
  // carried playback.
  bool Process(const float* in, float* out);

 private:
  void Release();

  SpeexEchoState_* echo_ = nullptr;
  std::vector<SpeexPreprocessState_*> post_;  // residual-echo suppression per microphone
  int mics_ = 0;
  int refs_ = 0;
  std::vector<int16_t> ref_;    // interleaved, kFrame * refs_
  bool ref_playing_ = false;
  std::vector<int16_t> rec_;    // interleaved, kFrame * mics_
  std::vector<int16_t> res_;    // interleaved, kFrame * mics_
  std::vector<int16_t> chan_;   // one channel, kFrame
};

}  // namespace w6ssp

#endif  // PLATFORM_SSP_ECHO_CANCELLER_H

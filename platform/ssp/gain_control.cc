#include "platform/ssp/gain_control.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>

#include "platform/ssp/pcm.h"

namespace w6ssp {

namespace {
// Speech loudness the gain aims at, at the 16-bit scale (about -15 dBFS):
// speech peaks sit 10 to 15 dB above it, so they rarely reach the limiter.
constexpr float kTargetLevel = 16000.f;
constexpr int kMaxGainDb = 30;
constexpr int kIncrementDb = 12;    // per second
constexpr int kDecrementDb = -40;   // per second
// The limiter recovers at 20 dB per second.
constexpr float kReleaseDbPerSecond = 20.f;
// The filter saturates its output at 16 bits; it works 12 dB below the
// input's scale so that the limiter sees overshoots of the adaptive gain up
// to 12 dB unclipped. This costs 2 bits of the quietest input's resolution.
constexpr float kHeadroom = 4.f;
}  // namespace

GainControl::~GainControl() {
  if (state_) speex_preprocess_state_destroy(state_);
}

bool GainControl::Init(int frame, int rate) {
  if (state_) speex_preprocess_state_destroy(state_);
  frame_ = frame;
  rate_ = rate;
  state_ = speex_preprocess_state_init(frame_, rate_);
  if (!state_) return false;
  int on = 1, off = 0;
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &off);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  if (speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &on) != 0) {
    speex_preprocess_state_destroy(state_);
    state_ = nullptr;
    return false;  // a fixed-point build of the library has no gain control
  }
  float level = kTargetLevel / kHeadroom;
  int max_gain = kMaxGainDb, inc = kIncrementDb, dec = kDecrementDb;
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, &max_gain);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC_INCREMENT, &inc);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC_DECREMENT, &dec);
  work_.assign(frame_, 0.f);
  pcm_.assign(frame_, 0);
  limit_gain_ = 1.f;
  release_ = std::pow(10.f, kReleaseDbPerSecond * frame_ / rate_ / 20.f);
  return true;
}

bool GainControl::Reset() { return Init(frame_, rate_); }

void GainControl::Process(int16_t* samples) {
  for (int i = 0; i < frame_; ++i) pcm_[i] = ToPcm16(samples[i] / kHeadroom);
  speex_preprocess_run(state_, pcm_.data());
  float peak = 0.f;
  for (int i = 0; i < frame_; ++i) {
    work_[i] = pcm_[i] * kHeadroom;
    peak = std::max(peak, std::fabs(work_[i]));
  }
  // Peak limiter with the frame as look-ahead: the gain moves linearly across
  // the frame from where the last frame left it to what this frame's peak
  // allows, so it changes without steps; recovery is slow.
  float target = std::min(limit_gain_ * release_, 1.f);
  if (peak * target > kCeiling) target = kCeiling / peak;
  const float start = limit_gain_;
  for (int i = 0; i < frame_; ++i) {
    const float g = start + (target - start) * static_cast<float>(i + 1) / frame_;
    // Where the ramp has not come down far enough yet, hold the sample at the
    // ceiling rather than let it reach full scale.
    samples[i] = ToPcm16(std::clamp(work_[i] * g, -kCeiling, kCeiling));
  }
  limit_gain_ = target;
}

}  // namespace w6ssp

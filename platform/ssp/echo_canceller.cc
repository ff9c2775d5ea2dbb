#include "platform/ssp/echo_canceller.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>

#include "platform/ssp/pcm.h"

namespace w6ssp {

EchoCanceller::~EchoCanceller() { Release(); }

void EchoCanceller::Release() {
  for (SpeexPreprocessState_* p : post_) speex_preprocess_state_destroy(p);
  post_.clear();
  if (echo_) speex_echo_state_destroy(echo_);
  echo_ = nullptr;
}

bool EchoCanceller::Init(int rate, int mics, int refs) {
  Release();
  mics_ = mics;
  refs_ = refs;
  echo_ = speex_echo_state_init_mc(kFrame, rate * kTailMs / 1000, mics, refs);
  if (!echo_) return false;
  int r = rate;
  speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &r);
  // Residual-echo suppression: the preprocessor's spectral gains driven by
  // the canceller's estimate of the echo it left. Its noise suppression is
  // set to 0 dB: background noise is the later stages' business, and only the
  // echo is attenuated (by up to 40 dB, 15 dB while the near end talks).
  // The gain buys about 12 dB of echo reduction on broadband playback at no
  // measurable cost to a near-end talker.
  for (int m = 0; m < mics; ++m) {
    SpeexPreprocessState_* p = speex_preprocess_state_init(kFrame, rate);
    if (!p) {
      Release();
      return false;
    }
    post_.push_back(p);
    int on = 1, off = 0, noise = 0;
    speex_preprocess_ctl(p, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(p, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &noise);
    speex_preprocess_ctl(p, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(p, SPEEX_PREPROCESS_SET_DEREVERB, &off);
    speex_preprocess_ctl(p, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
  }
  ref_.assign(static_cast<size_t>(kFrame) * refs, 0);
  rec_.assign(static_cast<size_t>(kFrame) * mics, 0);
  res_.assign(static_cast<size_t>(kFrame) * mics, 0);
  chan_.assign(kFrame, 0);
  ref_playing_ = false;
  return true;
}

void EchoCanceller::BufferFarend(const float* ref) {
  ref_playing_ = false;
  for (int c = 0; c < refs_; ++c) {
    const float* x = ref + static_cast<size_t>(c) * kFrame;
    double energy = 0.0;
    for (int i = 0; i < kFrame; ++i) {
      const int16_t v = ToPcm16(x[i]);
      ref_[static_cast<size_t>(i) * refs_ + c] = v;
      energy += static_cast<double>(v) * v;
    }
    if (energy >= static_cast<double>(kPlaybackRms) * kPlaybackRms * kFrame) ref_playing_ = true;
  }
}

bool EchoCanceller::Process(const float* in, float* out) {
  for (int m = 0; m < mics_; ++m) {
    const float* x = in + static_cast<size_t>(m) * kFrame;
    for (int i = 0; i < kFrame; ++i) rec_[static_cast<size_t>(i) * mics_ + m] = ToPcm16(x[i]);
  }
  speex_echo_cancellation(echo_, rec_.data(), ref_.data(), res_.data());
  for (int m = 0; m < mics_; ++m) {
    for (int i = 0; i < kFrame; ++i) chan_[i] = res_[static_cast<size_t>(i) * mics_ + m];
    speex_preprocess_run(post_[m], chan_.data());
    float* y = out + static_cast<size_t>(m) * kFrame;
    for (int i = 0; i < kFrame; ++i) y[i] = chan_[i];
  }
  const bool playing = ref_playing_;
  // The reference is used once; without a new one the next frame hears none.
  std::fill(ref_.begin(), ref_.end(), 0);
  ref_playing_ = false;
  return playing;
}

}  // namespace w6ssp

#include "platform/ssp/noise_suppressor.h"

#include <speex/speex_preprocess.h>

#include <algorithm>

#include "platform/ssp/pcm.h"

namespace w6ssp {

namespace {
// Front-end full scale 2^21 to 16 bits and back.
constexpr float kDown = 1.f / 64.f;
constexpr float kUp = 64.f;
}  // namespace

NoiseSuppressor::~NoiseSuppressor() {
  if (state_) speex_preprocess_state_destroy(state_);
}

bool NoiseSuppressor::Init(int rate) {
  if (state_) speex_preprocess_state_destroy(state_);
  frame_ = rate / 100;
  state_ = speex_preprocess_state_init(frame_, rate);
  if (!state_) return false;
  pcm_.assign(frame_, 0);
  int on = 1, off = 0;
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  Apply();
  return true;
}

void NoiseSuppressor::SetMode(int mode) {
  mode_ = std::clamp(mode, 0, 3);
  if (state_) Apply();
}

void NoiseSuppressor::Apply() {
  int depth = -6 * (mode_ + 1);  // dB
  speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &depth);
}

void NoiseSuppressor::Process(const float* in, float* out) {
  for (int i = 0; i < frame_; ++i) pcm_[i] = ToPcm16(in[i] * kDown);
  speex_preprocess_run(state_, pcm_.data());
  for (int i = 0; i < frame_; ++i) out[i] = pcm_[i] * kUp;
}

}  // namespace w6ssp

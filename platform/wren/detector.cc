#include "platform/wren/detector.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace wren {

namespace {

constexpr int kRate = 16000;
constexpr double kPi = 3.14159265358979323846;
// The input's full scale is 2^21; the estimator works on 16 bits.
constexpr float kToPcm = 1.f / 64.f;
// Lowest floor, in input units (about -87 dB below a full-scale sine), so
// that digital silence does not make every faint sound speech.
constexpr float kMinFloor = 30.f;
// Floor dynamics per 10-ms frame: down with a 50-ms time constant; up by
// 1.3 dB/s, 0.3 dB/s in speech, 6 dB/s while the estimator hears only noise.
constexpr float kFall = 0.2f;
const float kRise = std::pow(10.f, 1.3f / 20.f / 100.f);
const float kRiseSpeech = std::pow(10.f, 0.3f / 20.f / 100.f);
const float kRiseNoise = std::pow(10.f, 6.f / 20.f / 100.f);
// Speech probabilities (0..1) of the estimator.
constexpr float kProbNoise = 0.2f;
constexpr float kProbSure = 0.9f;

int16_t ToPcm16(float v) {
  if (!(v > -32768.f)) return v != v ? 0 : -32768;
  if (v >= 32767.f) return 32767;
  return static_cast<int16_t>(std::lrint(v));
}

}  // namespace

Detector::Detector(int mode) {
  static const float kMarginDb[4] = {4.f, 6.f, 8.f, 10.f};
  margin_ = std::pow(10.f, kMarginDb[std::clamp(mode, 0, 3)] / 20.f);
  // Second-order Butterworth high-pass at 120 Hz (bilinear transform).
  const double w0 = 2.0 * kPi * 120.0 / kRate;
  const double alpha = std::sin(w0) / (2.0 * std::sqrt(0.5));
  const double c = std::cos(w0);
  const double a0 = 1.0 + alpha;
  hp_b_[0] = (1.0 + c) / 2.0 / a0;
  hp_b_[1] = -(1.0 + c) / a0;
  hp_b_[2] = (1.0 + c) / 2.0 / a0;
  hp_a_[0] = -2.0 * c / a0;
  hp_a_[1] = (1.0 - alpha) / a0;

  pre_ = speex_preprocess_state_init(kFrame, kRate);
  if (pre_) {
    int off = 0;
    // Only the estimator is wanted: the frame given to it is a scratch copy.
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_DENOISE, &off);
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
  }
  try {
    history_.assign(static_cast<size_t>(kHistory) * kFrame, 0.f);
    voice_.assign(static_cast<size_t>(longest_) * kFrame, 0.f);
  } catch (const std::bad_alloc&) {
    voice_.clear();
  }
}

Detector::~Detector() {
  if (pre_) speex_preprocess_state_destroy(pre_);
}

bool Detector::SetParam(int param, int value) {
  switch (param) {
    case 3:
      if (value < 1 || value > 100000) return false;
      end_silence_ = value;
      return true;
    case 7:
      if (value < 10 || value > kMaxLongest) return false;
      if (value != longest_) {
        try {
          std::vector<float> v(static_cast<size_t>(value) * kFrame, 0.f);
          voice_.swap(v);
        } catch (const std::bad_alloc&) {
          return false;
        }
        longest_ = value;
        Restart();
      }
      return true;
    case 10:
      if (value != 0 && value != 1) return false;
      end_mode_ = value;
      return true;
    default:
      return false;
  }
}

void Detector::Restart() {
  frames_ = 0;
  decisions_ = 0;
  forced_ = false;
  force_back_ = 0;
  start_ = -1;
  stop_ = 0;
  ended_ = false;
  length_ = 0;
  last_speech_ = -1;
  silence_run_ = 0;
}

void Detector::ForceStart(int back) {
  if (start_ >= 0) return;
  forced_ = true;
  force_back_ = std::max(back, 0);
}

float Detector::Energy(const float* x) {
  // Mean square of the high-passed frame, accumulated in double: squares of
  // 2^21-scale samples exhaust float precision over a frame.
  double z1 = hp_z_[0], z2 = hp_z_[1], sum = 0.0;
  for (int i = 0; i < kFrame; ++i) {
    const double in = x[i];
    const double y = hp_b_[0] * in + z1;
    z1 = hp_b_[1] * in - hp_a_[0] * y + z2;
    z2 = hp_b_[2] * in - hp_a_[1] * y;
    sum += y * y;
  }
  // A NaN or infinite sample must not poison the filter for good.
  if (!std::isfinite(sum)) {
    hp_z_[0] = hp_z_[1] = 0.0;
    return 0.f;
  }
  hp_z_[0] = z1;
  hp_z_[1] = z2;
  // sqrt(mean square / 5): the scale of the wake engine's speech-band frame
  // energy (sqrt of the windowed band power over the frame length).
  return static_cast<float>(std::sqrt(sum / kFrame / 5.0));
}

bool Detector::Judge(const float* x, float e) {
  for (int i = 0; i < kFrame; ++i) pcm_[i] = ToPcm16(x[i] * kToPcm);
  speex_preprocess_run(pre_, pcm_);
  int percent = 0;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_GET_PROB, &percent);
  const float p = percent / 100.f;

  if (!floor_set_) {
    floor_ = std::max(e, kMinFloor);
    floor_set_ = true;
  }
  const float threshold = floor_ * margin_;
  const bool speech = (e > threshold && p >= kProbNoise) ||
                      (p >= kProbSure && e > floor_ * std::sqrt(margin_));
  if (e < floor_) {
    floor_ += kFall * (e - floor_);
  } else {
    floor_ *= speech ? kRiseSpeech : (p < kProbNoise ? kRiseNoise : kRise);
  }
  floor_ = std::max(floor_, kMinFloor);
  return speech;
}

void Detector::Begin(int first, int now) {
  first = std::max({first, 0, now - kHistory + 1, now - longest_ + 1});
  start_ = first;
  length_ = 0;
  for (int f = first; f <= now; ++f) {
    std::memcpy(&voice_[static_cast<size_t>(length_) * kFrame],
                &history_[static_cast<size_t>(f % kHistory) * kFrame], sizeof(float) * kFrame);
    ++length_;
  }
}

void Detector::Append(const float* x) {
  std::memcpy(&voice_[static_cast<size_t>(length_) * kFrame], x, sizeof(float) * kFrame);
  ++length_;
}

void Detector::End(int length) {
  length_ = length;
  stop_ = start_ + length_;
  ended_ = true;
}

bool Detector::Input(const float* x) {
  const float e = Energy(x);
  last_energy_ = e;
  const bool speech = Judge(x, e);
  const int now = frames_++;
  std::memcpy(&history_[static_cast<size_t>(now % kHistory) * kFrame], x, sizeof(float) * kFrame);
  decisions_ = (decisions_ << 1) | (speech ? 1u : 0u);
  if (ended_) return speech;

  if (start_ < 0) {
    if (forced_) {
      forced_ = false;
      Begin(now - force_back_, now);
      last_speech_ = now;
      silence_run_ = 0;
    } else {
      const uint32_t window = decisions_ & ((1u << kWindow) - 1u);
      if (__builtin_popcount(window) < kNeeded) return speech;
      // The oldest speech frame of the window opens the utterance, less the
      // pre-roll; frames before the restart do not exist for this count.
      int oldest = now;
      for (int i = kWindow - 1; i >= 0; --i) {
        if (window & (1u << i)) {
          oldest = now - i;
          break;
        }
      }
      Begin(oldest - kPreroll, now);
      int run = 0;
      while (run < kWindow && !(window & (1u << run))) ++run;
      silence_run_ = run;
      last_speech_ = now - run;
    }
  } else {
    Append(x);
    if (speech) {
      silence_run_ = 0;
      last_speech_ = now;
    } else {
      ++silence_run_;
    }
  }

  if (silence_run_ >= end_silence_) {
    End(end_mode_ == 1 ? last_speech_ - start_ + 1 : length_);
  } else if (length_ >= longest_) {
    End(length_);
  }
  return speech;
}

}  // namespace wren

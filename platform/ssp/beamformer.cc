#include "platform/ssp/beamformer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace w6ssp {

namespace {

constexpr int kHalf = Beamformer::kTaps / 2;
// Pass band of the delay filters as a fraction of the Nyquist frequency: the
// sinc is band-limited a little below Nyquist so that the 32 taps stay flat
// (within 0.1 dB) up to 6 kHz for every fractional delay.
constexpr double kCutoff = 0.9;
constexpr double kKaiserBeta = 7.0;
constexpr double kPi = 3.14159265358979323846;

// Modified Bessel function of the first kind, order 0 (power series).
double BesselI0(double x) {
  double sum = 1.0, term = 1.0;
  const double q = x * x / 4.0;
  for (int k = 1; k < 50; ++k) {
    term *= q / (static_cast<double>(k) * k);
    sum += term;
    if (term < sum * 1e-12) break;
  }
  return sum;
}

}  // namespace

Beamformer::Beamformer(const float* positions, int mics)
    : mics_(mics), pos_(positions, positions + 3 * mics), delays_(mics, 0.f) {
  Init(frame_, rate_);
}

void Beamformer::Init(int frame, int rate) {
  frame_ = frame;
  rate_ = rate;
  fade_in_.resize(frame_);
  for (int n = 0; n < frame_; ++n) {
    fade_in_[n] = static_cast<float>(0.5 - 0.5 * std::cos(kPi * (n + 0.5) / frame_));
  }
  scratch_.assign(frame_, 0.f);
  history_ = 0;
  buf_.clear();
  SizeHistory();
  Design(taps_, shifts_);
  fade_ = false;
}

void Beamformer::SizeHistory() {
  float radius = 0.f;
  for (int m = 0; m < mics_; ++m) {
    const float* p = &pos_[3 * m];
    radius = std::max(radius, std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]));
  }
  const float dmin = *std::min_element(delays_.begin(), delays_.end());
  const float dmax = *std::max_element(delays_.begin(), delays_.end());
  // The largest alignment delay any look direction can need (see Design).
  const double longest = (2.0 * radius / kSoundSpeed + (dmax - dmin)) * rate_;
  // Never shrinks: the filters of the frame being faded out may still need
  // the longer history.
  const int history = std::max(history_, static_cast<int>(std::ceil(longest)) + kTaps + 1);
  if (history == history_ && !buf_.empty()) return;
  // Keep the newest samples of every channel so that a change of delays in
  // mid-stream does not open a gap in the signal.
  std::vector<float> grown(static_cast<size_t>(mics_) * (history + frame_), 0.f);
  if (!buf_.empty()) {
    const int keep = std::min(history, history_);
    for (int m = 0; m < mics_; ++m) {
      const float* from = &buf_[static_cast<size_t>(m) * (history_ + frame_) + history_ - keep];
      float* to = &grown[static_cast<size_t>(m) * (history + frame_) + history - keep];
      std::memcpy(to, from, sizeof(float) * keep);
    }
  }
  buf_.swap(grown);
  history_ = history;
}

void Beamformer::Design(std::vector<float>& taps, std::vector<int>& shifts) const {
  taps.assign(static_cast<size_t>(mics_) * kTaps, 0.f);
  shifts.assign(mics_, 0);
  const double ce = std::cos(static_cast<double>(elevation_));
  const double ux = ce * std::cos(static_cast<double>(azimuth_));
  const double uy = ce * std::sin(static_cast<double>(azimuth_));
  const double uz = std::sin(static_cast<double>(elevation_));
  double radius = 0.0;
  for (int m = 0; m < mics_; ++m) {
    const float* p = &pos_[3 * m];
    radius = std::max(radius, std::sqrt(static_cast<double>(p[0]) * p[0] +
                                        static_cast<double>(p[1]) * p[1] +
                                        static_cast<double>(p[2]) * p[2]));
  }
  const double dmin = *std::min_element(delays_.begin(), delays_.end());
  // A plane wave from direction u reaches microphone m (p . u) / c before the
  // array centre, and the converter samples m delay_m late: its samples lead
  // the centre by delay_m + (p . u) / c. Delaying channel m by
  // t0 + delay_m + (p . u) / c lines all of them up t0 behind the centre; t0
  // is the same for every direction, so the beam's latency never changes.
  const double t0 = radius / kSoundSpeed - dmin;
  const double i0beta = BesselI0(kKaiserBeta);
  for (int m = 0; m < mics_; ++m) {
    const float* p = &pos_[3 * m];
    const double lead = p[0] * ux + p[1] * uy + p[2] * uz;
    double t = (t0 + delays_[m] + lead / kSoundSpeed) * rate_;
    if (t < 0.0) t = 0.0;  // rounding only: t0 covers every direction
    const int whole = static_cast<int>(std::floor(t));
    const double frac = t - whole;
    shifts[m] = whole;
    // Output sample n takes input n - whole - k for tap k, so the sinc's
    // centre at k = kHalf - 1 + frac delays by whole + kHalf - 1 + frac.
    const double centre = kHalf - 1 + frac;
    double sum = 0.0;
    float* h = &taps[static_cast<size_t>(m) * kTaps];
    for (int k = 0; k < kTaps; ++k) {
      const double x = k - centre;
      const double arg = kCutoff * x;
      const double sinc = std::fabs(arg) < 1e-9 ? 1.0 : std::sin(kPi * arg) / (kPi * arg);
      const double r = x / kHalf;
      const double w = r * r < 1.0 ? BesselI0(kKaiserBeta * std::sqrt(1.0 - r * r)) / i0beta : 0.0;
      const double v = kCutoff * sinc * w;
      h[k] = static_cast<float>(v);
      sum += v;
    }
    // Unit gain at low frequencies, so that the aligned channels average to
    // the wave itself.
    for (int k = 0; k < kTaps; ++k) h[k] = static_cast<float>(h[k] / sum);
  }
}

void Beamformer::SetDelays(const float* delays) {
  delays_.assign(delays, delays + mics_);
  SizeHistory();
  if (!fade_) {
    old_taps_ = taps_;
    old_shifts_ = shifts_;
    fade_ = true;
  }
  Design(taps_, shifts_);
}

void Beamformer::Steer(float azimuth, float elevation) {
  azimuth_ = azimuth;
  elevation_ = elevation;
  // Several changes before the next frame fade from what was last heard.
  if (!fade_) {
    old_taps_.swap(taps_);
    old_shifts_.swap(shifts_);
    fade_ = true;
  }
  Design(taps_, shifts_);
}

void Beamformer::Beam(const std::vector<float>& taps, const std::vector<int>& shifts,
                      float* out) const {
  std::fill(out, out + frame_, 0.f);
  const int stride = history_ + frame_;
  for (int m = 0; m < mics_; ++m) {
    const float* h = &taps[static_cast<size_t>(m) * kTaps];
    // x[j] is the input sample j - history_ of the current frame.
    const float* x = &buf_[static_cast<size_t>(m) * stride] + history_ - shifts[m];
    for (int n = 0; n < frame_; ++n) {
      float acc = 0.f;
      const float* xn = x + n;
      for (int k = 0; k < kTaps; ++k) acc += h[k] * xn[-k];
      out[n] += acc;
    }
  }
  const float scale = 1.f / mics_;
  for (int n = 0; n < frame_; ++n) out[n] *= scale;
}

void Beamformer::Process(const float* input, float* output) {
  const int stride = history_ + frame_;
  for (int m = 0; m < mics_; ++m) {
    std::memcpy(&buf_[static_cast<size_t>(m) * stride + history_],
                input + static_cast<size_t>(m) * frame_, sizeof(float) * frame_);
  }
  Beam(taps_, shifts_, output);
  if (fade_) {
    Beam(old_taps_, old_shifts_, scratch_.data());
    for (int n = 0; n < frame_; ++n) {
      output[n] = scratch_[n] + fade_in_[n] * (output[n] - scratch_[n]);
    }
    fade_ = false;
  }
  for (int m = 0; m < mics_; ++m) {
    float* b = &buf_[static_cast<size_t>(m) * stride];
    std::memmove(b, b + frame_, sizeof(float) * history_);
  }
}

}  // namespace w6ssp

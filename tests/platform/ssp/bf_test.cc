// Beamformer: a 6-microphone circle of radius 5 cm, steered the way the
// callers steer it, with the angles the localiser reports for a talker (its
// azimuth points away from the talker: talker + 180 degrees; for this planar
// array it reports the talker's elevation as it is).
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <vector>

#include "ext/w6ssp.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kMics = 6;
constexpr int kFrame = 160;
constexpr double kDeg = kPi / 180.0;

struct Array {
  float positions[3 * kMics];
  // The converter samples the microphones one after another, one tick of
  // 64 kHz apart.
  float delays[kMics];
  Array() {
    for (int m = 0; m < kMics; ++m) {
      positions[3 * m] = static_cast<float>(0.05 * std::cos(2.0 * kPi * m / kMics));
      positions[3 * m + 1] = static_cast<float>(0.05 * std::sin(2.0 * kPi * m / kMics));
      positions[3 * m + 2] = 0.f;
      delays[m] = static_cast<float>(m / 64000.0);
    }
  }
};

// A plane wave (a tone) from azimuth az, elevation el: microphone m samples
// the pressure at its position, delays[m] after the nominal instant.
std::vector<float> PlaneTone(const Array& a, double az, double el, double freq, double amp, int n) {
  const double ux = std::cos(el) * std::cos(az), uy = std::cos(el) * std::sin(az), uz = std::sin(el);
  std::vector<float> x(static_cast<size_t>(n) * kMics);
  for (int m = 0; m < kMics; ++m) {
    const double lead =
        (a.positions[3 * m] * ux + a.positions[3 * m + 1] * uy + a.positions[3 * m + 2] * uz) / 343.3 +
        a.delays[m];
    for (int i = 0; i < n; ++i) {
      x[static_cast<size_t>(m) * n + i] =
          static_cast<float>(amp * std::sin(2.0 * kPi * freq * (static_cast<double>(i) / kRate + lead)));
    }
  }
  return x;
}

int64_t MakeBeam(const Array& a) {
  int64_t bf = w6ssp_bf_create(a.positions, kMics);
  EXPECT_NE(bf, 0);
  EXPECT_EQ(w6ssp_bf_init(bf, 10, 16000), 0);
  EXPECT_EQ(w6ssp_bf_set_mic_delays(bf, a.delays, kMics), 0);
  return bf;
}

// Steers to the talker with the localiser's angles, exactly as the callers
// pass them.
void SteerToTalker(int64_t bf, double talker_az, double talker_el) {
  const float reported = static_cast<float>(std::fmod(talker_az + kPi, 2.0 * kPi));
  const float elevation = static_cast<float>(talker_el);
  ASSERT_EQ(w6ssp_bf_steer(bf, reported, elevation, reported + 3.1415925f, 0), 0);
}

// Beams planar frames of n samples per microphone; returns the beam.
std::vector<float> Beam(int64_t bf, const std::vector<float>& x, int n, int from = 0) {
  std::vector<float> frame(kFrame * kMics), out(n, 0.f);
  for (int s = from; s + kFrame <= n; s += kFrame) {
    for (int m = 0; m < kMics; ++m) {
      std::copy(&x[static_cast<size_t>(m) * n + s], &x[static_cast<size_t>(m) * n + s] + kFrame,
                &frame[kFrame * m]);
    }
    EXPECT_EQ(w6ssp_bf_process(bf, frame.data(), kFrame * kMics, kMics, &out[s]), 0);
  }
  return out;
}

// Level of a 3-kHz tone of unit RMS from (az, el) through the beam, in dB.
double ToneGain(int64_t bf, const Array& a, double az, double el) {
  const int n = kRate / 4;
  const std::vector<float> x = PlaneTone(a, az, el, 3000.0, 1000.0 * std::sqrt(2.0), n);
  const std::vector<float> y = Beam(bf, x, n);
  return Db(Rms(y, n / 2, n) / 1000.0);
}

struct Talker {
  double az_deg, el_deg;
};
void PrintTo(const Talker& t, std::ostream* os) {
  *os << "talker at azimuth " << t.az_deg << ", elevation " << t.el_deg;
}

class BeamTest : public ::testing::TestWithParam<Talker> {};

TEST_P(BeamTest, PassesTheTalkerAndAttenuates90DegreesAway) {
  const Talker t = GetParam();
  const Array a;
  int64_t bf = MakeBeam(a);
  SteerToTalker(bf, t.az_deg * kDeg, t.el_deg * kDeg);
  EXPECT_NEAR(ToneGain(bf, a, t.az_deg * kDeg, t.el_deg * kDeg), 0.0, 1.0);
  // The beam is the talker's sound at the array's centre, a fixed 15 samples
  // plus the acoustic radius (0.05 m / 343.3 m/s) later, whatever the look.
  {
    const int n = kRate / 4;
    const double amp = 1000.0, lag = 15.0 + 0.05 / 343.3 * kRate;
    const std::vector<float> y =
        Beam(bf, PlaneTone(a, t.az_deg * kDeg, t.el_deg * kDeg, 1000.0, amp, n), n);
    double err = 0.0;
    for (int i = n / 2; i < n; ++i) {
      const double expected = amp * std::sin(2.0 * kPi * 1000.0 * (i - lag) / kRate);
      err = std::max(err, std::fabs(y[i] - expected));
    }
    EXPECT_LE(err, amp * 0.01);
  }
  for (double side : {-90.0, 90.0}) {
    SCOPED_TRACE(::testing::Message() << "interferer at " << t.az_deg + side << " degrees");
    EXPECT_LE(ToneGain(bf, a, (t.az_deg + side) * kDeg, t.el_deg * kDeg), -6.0);
  }
  w6ssp_bf_free(bf);
}

INSTANTIATE_TEST_SUITE_P(Directions, BeamTest,
                         ::testing::Values(Talker{40, 0}, Talker{0, 0}, Talker{135, 20},
                                           Talker{250, 10}, Talker{315, 30}));

// Re-steering every few frames between three directions while a 1-kHz tone
// plays: the fade keeps every sample step within the tone's own largest step
// (plus the fade's own 2 percent of the amplitude) and the output within the
// amplitude. The beam's response to the tone differs by up to 8 dB between
// the looks, so switching filters at a frame edge would jump by far more.
TEST(Beamformer, ResteeringMakesNoClick) {
  const Array a;
  int64_t bf = MakeBeam(a);
  const int n = kRate;
  const double amp = 10000.0, freq = 1000.0;
  const std::vector<float> x = PlaneTone(a, 60.0 * kDeg, 0.0, freq, amp, n);
  std::vector<float> frame(kFrame * kMics), y(n, 0.f);
  const double looks[] = {60.0, 150.0, 240.0};
  for (int s = 0, k = 0; s + kFrame <= n; s += kFrame, ++k) {
    if (k % 7 == 6) SteerToTalker(bf, looks[(k / 7) % 3] * kDeg, 10.0 * kDeg);
    for (int m = 0; m < kMics; ++m) {
      std::copy(&x[static_cast<size_t>(m) * n + s], &x[static_cast<size_t>(m) * n + s] + kFrame,
                &frame[kFrame * m]);
    }
    ASSERT_EQ(w6ssp_bf_process(bf, frame.data(), kFrame * kMics, kMics, &y[s]), 0);
  }
  w6ssp_bf_free(bf);
  const double own_step = amp * 2.0 * std::sin(kPi * freq / kRate);
  double largest_step = 0.0, largest = 0.0;
  for (int i = kFrame; i < n; ++i) {
    largest_step = std::max(largest_step, std::fabs(static_cast<double>(y[i]) - y[i - 1]));
    largest = std::max(largest, std::fabs(static_cast<double>(y[i])));
  }
  EXPECT_LE(largest_step, own_step + 0.03 * amp);
  EXPECT_LE(largest, amp * 1.02);
  EXPECT_GE(largest, amp * 0.5);  // the tone did come through
}

// The sampling delays are part of the alignment: a beam that ignores them
// loses the talker at 3 kHz.
TEST(Beamformer, CompensatesTheSamplingDelays) {
  const Array a;
  int64_t aware = MakeBeam(a);
  int64_t unaware = w6ssp_bf_create(a.positions, kMics);
  ASSERT_EQ(w6ssp_bf_init(unaware, 10, 16000), 0);
  SteerToTalker(aware, 40.0 * kDeg, 0.0);
  SteerToTalker(unaware, 40.0 * kDeg, 0.0);
  EXPECT_NEAR(ToneGain(aware, a, 40.0 * kDeg, 0.0), 0.0, 0.2);
  EXPECT_LT(ToneGain(unaware, a, 40.0 * kDeg, 0.0), -1.0);
  w6ssp_bf_free(aware);
  w6ssp_bf_free(unaware);
}

TEST(Beamformer, RefusesMismatchedArguments) {
  const Array a;
  EXPECT_EQ(w6ssp_bf_create(a.positions, 0), 0);
  float far[3] = {0.f, 11.f, 0.f};
  EXPECT_EQ(w6ssp_bf_create(far, 1), 0);

  int64_t bf = MakeBeam(a);
  EXPECT_EQ(w6ssp_bf_set_mic_delays(bf, a.delays, kMics - 1), -1);
  const float late[kMics] = {0.f, 0.f, 0.f, 0.f, 0.f, 0.02f};
  EXPECT_EQ(w6ssp_bf_set_mic_delays(bf, late, kMics), -1);
  EXPECT_EQ(w6ssp_bf_init(bf, 10, 4000), -1);
  // Frames of a wrong size: the output frame is cleared.
  std::vector<float> in(kFrame * kMics, 1.f), out(kFrame, 3.f);
  EXPECT_EQ(w6ssp_bf_process(bf, in.data(), kFrame * kMics, kMics - 1, out.data()), -1);
  EXPECT_EQ(out, std::vector<float>(kFrame, 0.f));
  EXPECT_EQ(w6ssp_bf_process(bf, in.data(), kFrame * kMics - 1, kMics, out.data()), -1);
  EXPECT_EQ(w6ssp_bf_steer(bf, 0.f, NAN, 0.f, 0), -1);
  EXPECT_EQ(w6ssp_bf_process(0, in.data(), kFrame * kMics, kMics, out.data()), -1);
  EXPECT_EQ(w6ssp_bf_free(bf), 0);
}

}  // namespace

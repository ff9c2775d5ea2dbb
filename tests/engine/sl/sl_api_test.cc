// The exported localiser: lifecycle and shared tables, null handles, refused
// geometries, and the physics: a talker simulated at 3 m from a six-
// microphone circular array is found (at the mirrored azimuth, the system's
// convention) from half a second of audio.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/core/mat.h"
#include "include/kestrel.h"
#include "tests/engine/sl/scene.h"
#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(SlApiTest, SysexitLeavesTablesToOtherFamilies) {
  // The wake engine still runs when the localiser's family exits.
  z_tables_acquire(kTablesVt);
  EXPECT_EQ(w6_sl_sysinit(), 0);
  EXPECT_EQ(w6_sl_sysinit(), 0);
  ASSERT_NE(ZMat::m_plogtab1, nullptr);
  EXPECT_EQ(w6_sl_sysexit(), 0);
  EXPECT_NE(ZMat::m_plogtab1, nullptr);
  EXPECT_NE(ZMat::m_plogtab2, nullptr);
  z_tables_release(kTablesVt);
  EXPECT_EQ(ZMat::m_plogtab1, nullptr);
  // Alone, the localiser's exit releases them.
  w6_sl_sysinit();
  EXPECT_NE(ZMat::m_plogtab3, nullptr);
  w6_sl_sysexit();
  EXPECT_EQ(ZMat::m_plogtab3, nullptr);
}

TEST(SlApiTest, NullHandleAndRefusedCreation) {
  float out[2] = {7, 7};
  EXPECT_EQ(w6_sl_free(0), 0);
  EXPECT_EQ(w6_sl_put_data(0, nullptr, 100), 0.0f);
  EXPECT_EQ(w6_sl_get_candidate(0, 1024, 0, out, 0), 0.0f);
  EXPECT_EQ(out[0], 7.0f);
  EXPECT_EQ(w6_sl_reset(0), 0);

  testing_support::LogCapture log;
  const float far[6] = {0, 0, 0, 0, 12.0f, 0};
  EXPECT_EQ(w6_sl_create(2, far, nullptr), 0);
  EXPECT_EQ(w6_sl_create(0, far, nullptr), 0);
  EXPECT_EQ(log.Lines().size(), 2u) << log.Dump();
  for (const auto& line : log.Lines()) {
    EXPECT_EQ(line.tag, "QEXAL_plover");
    EXPECT_EQ(line.prio, 6);
  }
}

struct Case {
  double az_deg, el_deg;
  bool latencies;  // channels 0 and 3 arrive late; the localiser is told
};

TEST(SlApiTest, FindsTalkerAtMirroredAzimuth) {
  const int samples = 8000;  // 0.5 s
  const unsigned seed = 1234;
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  const sl_testing::Scene scene(samples, 6, seed);
  const std::vector<float> pos = sl_testing::Circle(6, 0.05);

  std::vector<Case> cases;
  for (double el : {0.0, 30.0})
    for (int az = 0; az < 360; az += 30) cases.push_back({static_cast<double>(az), el, false});
  for (int az : {45, 200, 310}) cases.push_back({static_cast<double>(az), 10.0, true});

  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "azimuth " << c.az_deg << " elevation " << c.el_deg
                                    << (c.latencies ? " with channel latencies" : ""));
    std::vector<float> late;
    if (c.latencies) late = {3.3f / 16000, 0, 0, 1.7f / 16000, 0, 0};
    auto ch = scene.Render(pos, c.az_deg, c.el_deg, late);
    int64_t h = w6_sl_create(6, pos.data(), c.latencies ? late.data() : nullptr);
    ASSERT_NE(h, 0);
    std::vector<float*> ptr(6);
    for (int done = 0; done < samples; done += 800) {  // 50 ms blocks
      for (int i = 0; i < 6; ++i) ptr[i] = ch[i].data() + done;
      w6_sl_put_data(h, ptr.data(), 800);
    }
    float out[2];
    w6_sl_get_candidate(h, samples, 0, out, 0);
    w6_sl_free(h);
    // The talker's mirror through the array centre, within 5 degrees.
    double az = out[0] * 180 / kPi, el = out[1] * 180 / kPi;
    double off = std::fmod(az - (c.az_deg + 180) + 720 + 180, 360.0) - 180;
    EXPECT_LE(std::fabs(off), 5.0) << "reported azimuth " << az;
    EXPECT_LE(std::fabs(el - c.el_deg), 15.0) << "reported elevation " << el;
  }
}

}  // namespace
}  // namespace __kestrel4__

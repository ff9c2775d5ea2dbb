// Runs the kestrel-sl program on a recorded talker and checks what it prints
// and how it fails.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engine/sl/scene.h"

#include "tests/support/tool_run.h"

namespace {

using testing_support::ToolRun;

ToolRun Tool(const std::vector<std::string>& args) { return testing_support::RunTool(KESTREL_SL_BIN, args); }

int Lines(const std::string& s) { return testing_support::CountLines(s); }

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/ksl_" + std::to_string(getpid()) + "_" + name;
}

void Put16(std::string& b, int v) { b += static_cast<char>(v & 255), b += static_cast<char>((v >> 8) & 255); }
void Put32(std::string& b, uint32_t v) {
  Put16(b, static_cast<int>(v & 0xffff));
  Put16(b, static_cast<int>(v >> 16));
}

// A 16-bit PCM WAV file of the given channels at 16000 Hz.
void WriteWav(const std::string& path, const std::vector<std::vector<float>>& ch) {
  const uint32_t n = static_cast<uint32_t>(ch[0].size()), c = static_cast<uint32_t>(ch.size());
  std::string b = "RIFF";
  Put32(b, 36 + n * c * 2);
  b += "WAVEfmt ";
  Put32(b, 16);
  Put16(b, 1);
  Put16(b, static_cast<int>(c));
  Put32(b, 16000);
  Put32(b, 16000 * c * 2);
  Put16(b, static_cast<int>(c * 2));
  Put16(b, 16);
  b += "data";
  Put32(b, n * c * 2);
  for (uint32_t i = 0; i < n; ++i) {
    for (uint32_t k = 0; k < c; ++k) {
      float v = std::fmax(-32768.0f, std::fmin(32767.0f, std::round(ch[k][i])));
      Put16(b, static_cast<int>(v));
    }
  }
  std::ofstream(path, std::ios::binary) << b;
}

// Degrees between two azimuths.
double AzOff(double a, double b) { return std::fabs(std::fmod(a - b + 720 + 180, 360.0) - 180); }

class KestrelSlTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    // One second of a talker at azimuth 60, on the horizon, 3 m from a
    // six-microphone ring of 5 cm radius.
    const sl_testing::Scene scene(16000, 6, 99);
    std::vector<float> pos = sl_testing::Circle(6, 0.05);
    wav_ = new std::string(TempPath("talker.wav"));
    WriteWav(*wav_, scene.Render(pos, 60, 0));
    positions_ = new std::string;
    for (int i = 0; i < 6; ++i) {
      char t[64];
      std::snprintf(t, sizeof(t), "%s%.9g,%.9g,%.9g", i ? ";" : "", pos[3 * i], pos[3 * i + 1], pos[3 * i + 2]);
      *positions_ += t;
    }
  }
  static void TearDownTestSuite() {
    std::remove(wav_->c_str());
    delete wav_;
    delete positions_;
  }
  static std::string* wav_;
  static std::string* positions_;
};
std::string* KestrelSlTest::wav_ = nullptr;
std::string* KestrelSlTest::positions_ = nullptr;

TEST_F(KestrelSlTest, Help) {
  ToolRun r = Tool({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: kestrel-sl POSITIONS WAV"), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST_F(KestrelSlTest, SpanAndWholeFileGiveTheTalkersDirection) {
  ToolRun r = Tool({*positions_, *wav_, "--from", "0.25", "--to", "0.75"});
  ASSERT_EQ(r.status, 0) << r.err;
  double az = -1, el = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "%lf %lf", &az, &el), 2) << r.out;
  EXPECT_EQ(Lines(r.out), 1);
  EXPECT_LE(AzOff(az, 60), 5.0) << r.out;
  EXPECT_LE(std::fabs(el), 15.0) << r.out;

  // The positions from a file, one microphone a line, with a comment.
  const std::string file = TempPath("positions.txt");
  std::string text = "# six microphones, 5 cm ring\n" + *positions_;
  for (char& c : text) c = c == ';' ? '\n' : c;
  std::ofstream(file) << text;
  r = Tool({file, *wav_});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "%lf %lf", &az, &el), 2) << r.out;
  EXPECT_LE(AzOff(az, 60), 5.0) << r.out;
  std::remove(file.c_str());
}

TEST_F(KestrelSlTest, TrackOverTheFile) {
  ToolRun r = Tool({*positions_, *wav_, "--every", "250"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::istringstream in(r.out);
  const double want_times[] = {0.25, 0.5, 0.75, 1.0};
  int n = 0;
  double t, az, el;
  while (in >> t >> az >> el) {
    ASSERT_LT(n, 4) << r.out;
    SCOPED_TRACE(testing::Message() << "time " << t);
    EXPECT_DOUBLE_EQ(t, want_times[n]);
    EXPECT_LE(AzOff(az, 60), 5.0);
    ++n;
  }
  EXPECT_EQ(n, 4) << r.out;
}

TEST_F(KestrelSlTest, FailuresAreOneLine) {
  const std::string four = "0.05,0,0;0,0.05,0;-0.05,0,0;0,-0.05,0";
  const std::string far = "0,0,0;20,0,0;0,20,0;-20,0,0;0,-20,0;1,1,0";
  const std::vector<std::vector<std::string>> cases = {
      {},
      {*positions_},
      {four, *wav_},                                    // channels and microphones differ
      {"1,2", *wav_},                                   // not triples
      {"0,0,zero", *wav_},                              // not a number
      {*positions_, TempPath("missing.wav")},           // no such file
      {*positions_, *wav_, "--from", "0.5"},            // --to missing
      {*positions_, *wav_, "--from", "0.5", "--to", "0.2"},
      {*positions_, *wav_, "--from", "0.5", "--to", "2"},  // past the end of the file
      {*positions_, *wav_, "--from", "0", "--to", "0.03"},  // no whole frame
      {*positions_, *wav_, "--every", "0"},
      {*positions_, *wav_, "--frob"},
      {far, *wav_},                                     // too far apart to localise
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    SCOPED_TRACE(shown);
    ToolRun r = Tool(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kestrel-sl: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace

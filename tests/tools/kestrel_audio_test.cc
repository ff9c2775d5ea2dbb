// kestrel-audio as a user runs it: help, info, resample, and one line on
// standard error with a non-zero status for every failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "kestrel.h"

#include "tests/support/tool_run.h"

namespace {

using testing_support::ToolRun;

ToolRun Tool(const std::string& args) {
  return testing_support::RunToolLine(KESTREL_AUDIO_TOOL, args, testing_support::LogEnv::kUser);
}

int Lines(const std::string& s) { return testing_support::CountLines(s); }

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/kaudio_" + std::to_string(getpid()) + "_" + name;
}

std::string WriteTone(const std::string& name, int channels, int rate, int samples) {
  w6_aud_data* a = w6_aud_malloc(channels, rate, samples);
  for (int c = 0; c < channels; ++c)
    for (int i = 0; i < samples; ++i) a->data[c][i] = (c == 0 ? 1.0f : -1.0f) * (i == 7 ? 12345.0f : 2000.0f);
  const std::string path = TempPath(name);
  EXPECT_EQ(w6_aud_out(path.c_str(), a), 0);
  w6_aud_free(a);
  return path;
}

TEST(KestrelAudioTest, Help) {
  const ToolRun r = Tool("--help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: kestrel-audio info FILE"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
}

TEST(KestrelAudioTest, InfoAndResample) {
  const std::string in = WriteTone("in.wav", 2, 48000, 960);
  ToolRun r = Tool("info '" + in + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "channels: 2\nrate: 48000\nsamples: 960\npeak: 12345\n");

  const std::string out = TempPath("out.wav");
  r = Tool("resample '" + in + "' '" + out + "' --rate 16000");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  w6_aud_data* a = w6_aud_in(out.c_str(), 0);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->channels, 2);
  EXPECT_EQ(a->rate, 16000);
  EXPECT_EQ(a->samples, 320);
  EXPECT_NEAR(a->data[0][200], 2000.0f, 20.0f);
  EXPECT_NEAR(a->data[1][200], -2000.0f, 20.0f);
  w6_aud_free(a);
  std::remove(in.c_str());
  std::remove(out.c_str());
}

TEST(KestrelAudioTest, FailuresAreOneLineAndNonZero) {
  const std::string good = WriteTone("good.wav", 1, 16000, 100);
  const std::string bad = TempPath("bad.wav");
  {
    std::ofstream f(bad, std::ios::binary);
    f << "RIFF\x10\x00\x00\x00WAVEfmt ";  // the header stops short
  }
  const std::string cases[] = {
      "",
      "info",
      "info '" + TempPath("missing.wav") + "'",
      "info '" + bad + "'",
      "info '" + good + "' --rate 8000",
      "resample '" + good + "' '" + TempPath("o.wav") + "'",
      "resample '" + good + "' '" + TempPath("o.wav") + "' --rate zero",
      "resample '" + good + "' '" + TempPath("o.wav") + "' --rate 272000",
      "resample '" + good + "' '" + TempPath("no/dir/o.wav") + "' --rate 8000",
      "convert '" + good + "'",
      "--bogus",
  };
  for (const std::string& args : cases) {
    SCOPED_TRACE(args);
    const ToolRun r = Tool(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kestrel-audio: ", 0), 0u) << r.err;
  }
  // With --verbose the library's reason comes first.
  const ToolRun r = Tool("info '" + bad + "' --verbose");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("the header is truncated"), std::string::npos) << r.err;
  std::remove(good.c_str());
  std::remove(bad.c_str());
}

}  // namespace

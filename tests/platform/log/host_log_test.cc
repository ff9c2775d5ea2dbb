// The host's stand-in for the Android log: logcat-like lines, the
// KESTREL_LOG switch, and the capture API the other tests rely on.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "android/log.h"
#include "host_log_capture.h"
#include "tests/support/log_capture.h"

namespace {

// Runs `body` in a child process with KESTREL_LOG set (the sink is chosen on
// the first line a process logs) and returns what the log file holds.
std::string LogInChild(const char* value, void (*body)()) {
  std::string path = std::string(::testing::TempDir()) + "/hostlog_" + std::to_string(getpid());
  std::remove(path.c_str());
  pid_t pid = fork();
  if (pid == 0) {
    setenv("KESTREL_LOG", value ? value : path.c_str(), 1);
    body();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream f(path);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  return text;
}

TEST(HostLogTest, LinesLookLikeLogcat) {
  std::string text = LogInChild(nullptr, [] {
    __android_log_print(4, "QEXAL_plover", "w6_vt_create: %d channels", 3);
    __android_log_print(6, "QEXAL_plover", "ends with newline\n");
  });
  EXPECT_EQ(text, "I/QEXAL_plover: w6_vt_create: 3 channels\nE/QEXAL_plover: ends with newline\n");
}

TEST(HostLogTest, OffSilencesButCaptureStillSees) {
  testing_support::LogCapture log;
  __android_log_print(4, "QEXAL_plover", "value %.3f", 1.5);
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_EQ(log.Lines()[0].tag, "QEXAL_plover");
  EXPECT_TRUE(log.Has("value 1.500", 4));
  EXPECT_FALSE(log.Has("value 1.500", 6));
}

TEST(HostLogTest, CapturedTextsStayValidWhileLinesArrive) {
  hostlog_capture(1);
  __android_log_print(4, "QEXAL_plover", "first");
  __android_log_print(6, "QEXAL_plover", "a line long enough to live outside the string object: %d", 12345);
  const char* tag = nullptr;
  const char* shortText = nullptr;
  const char* longText = nullptr;
  ASSERT_EQ(hostlog_get(0, nullptr, &tag, &shortText), 0);
  ASSERT_EQ(hostlog_get(1, nullptr, nullptr, &longText), 0);
  for (int i = 0; i < 200; ++i) __android_log_print(4, "QEXAL_plover", "more %d", i);
  EXPECT_STREQ(tag, "QEXAL_plover");
  EXPECT_STREQ(shortText, "first");
  EXPECT_STREQ(longText, "a line long enough to live outside the string object: 12345");
  int prio = 0;
  EXPECT_EQ(hostlog_get(201, &prio, nullptr, nullptr), 0);
  EXPECT_EQ(prio, 4);
  EXPECT_EQ(hostlog_get(202, &prio, nullptr, nullptr), -1);
  EXPECT_EQ(hostlog_get(-1, &prio, nullptr, nullptr), -1);
  hostlog_capture(0);
}

}  // namespace

// kestrel-example and kestrel-vt as a user runs them: the built-in example
// is written, the tone word found where it was spoken, the best score
// printed, and every failure is one line on standard error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "tests/support/tool_run.h"

namespace {

using testing_support::RunToolLine;
using testing_support::ToolRun;

std::string Temp(const std::string& name) { return testing_support::ToolTempPath("kvt_" + name); }

ToolRun RunTool(const std::string& bin, const std::string& args) { return RunToolLine(bin, args); }

TEST(KestrelVtToolTest, FindsTheExampleWordAndFailsCleanly) {
  const std::string dir = Temp("example");
  ToolRun ex = RunTool(KESTREL_EXAMPLE_BIN, "'" + dir + "'");
  ASSERT_EQ(ex.status, 0) << ex.err;
  const std::string files = "'" + dir + "/tones.nnet' '" + dir + "/tones.phones' '" + dir + "/tones.wav'";

  ToolRun r = RunTool(KESTREL_VT_BIN, "--right-sil --words '" + dir + "/words.txt' " + files);
  ASSERT_EQ(r.status, 0) << r.err;
  // One detection: the word spoken at 2.00 s to 2.60 s (the reversed tones
  // later in the file are no word).
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  EXPECT_NE(r.out.find("\ttones\tpre|awake|nocmd\tscore="), std::string::npos) << r.out;
  const double start = std::stod(r.out.substr(r.out.find("start=") + 6));
  const double end = std::stod(r.out.substr(r.out.find("end=") + 4));
  EXPECT_NEAR(start, 2.00, 0.1);
  EXPECT_NEAR(end, 2.60, 0.1);

  r = RunTool(KESTREL_VT_BIN, "--best --word 'tones=lo|# mid|# hi|#' " + files);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("best score 3.", 0), 0u) << r.out;

  EXPECT_EQ(RunTool(KESTREL_VT_BIN, "--help").status, 0);
  for (const std::string& bad : {"--word 'tones=lo|# mid|# hi|#' /nonexistent.nnet '" + dir + "/tones.phones' '" +
                                     dir + "/tones.wav'",
                                 files,  // no word; then a word without a block marker
                                 "--word 'x=lo mid' " + files, "--threshold abc --word 'a=b' " + files}) {
    SCOPED_TRACE(bad);
    ToolRun f = RunTool(KESTREL_VT_BIN, bad);
    EXPECT_NE(f.status, 0);
    EXPECT_EQ(f.ErrLines(), 1) << f.err;
  }
}

}  // namespace

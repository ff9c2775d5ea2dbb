// kestrel-cf as a user runs it: scores per file, raw sums, help, and one
// line on standard error with a non-zero status for every failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "include/kestrel.h"
#include "tests/support/tool_run.h"
#include "tests/support/nnet_builder.h"

namespace {

using testing_support::ToolRun;

ToolRun Tool(const std::string& args) { return testing_support::RunToolLine(KESTREL_CF_BIN, args); }


TEST(KestrelCfToolTest, ScoresSumsAndFailures) {
  std::string model = testing_support::NnetTempPath("tool_cf.nnet");
  testing_support::NnetBuilder b;
  b.Affine(40, 2, testing_support::Zeros(80), {std::log(0.2f), std::log(0.8f)}).Softmax(2);
  ASSERT_TRUE(b.Write(model));
  std::string longWav = testing_support::NnetTempPath("tool_long") + ".wav";
  std::string shortWav = testing_support::NnetTempPath("tool_short") + ".wav";
  for (auto [path, n] : {std::make_pair(longWav, 8000), std::make_pair(shortWav, 1000)}) {
    w6_aud_data* rec = w6_aud_malloc(1, 16000, n);
    for (int i = 0; i < n; ++i) rec->data[0][i] = static_cast<float>((i * 37) % 2000 - 1000);
    ASSERT_EQ(w6_aud_out(path.c_str(), rec), 0);
    w6_aud_free(rec);
  }

  ToolRun r = Tool("'" + model + "' '" + longWav + "' '" + shortWav + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(longWav + "\t-0.223"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(shortWav + "\t-100.000000"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");

  r = Tool("--sums 3 '" + model + "' '" + longWav + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\t0.000000\n"), std::string::npos) << r.out;  // the third column

  EXPECT_EQ(Tool("--help").status, 0);
  for (const std::string& bad : {std::string("/nonexistent.nnet '") + longWav + "'",
                                 "'" + model + "' /nonexistent.wav", "'" + longWav + "' '" + longWav + "'",
                                 "--sums 0 '" + model + "' '" + longWav + "'"}) {
    SCOPED_TRACE(bad);
    ToolRun f = Tool(bad);
    EXPECT_NE(f.status, 0);
    EXPECT_EQ(f.ErrLines(), 1) << f.err;
  }
}

}  // namespace

// Runs the kestrel-nnet program on small models built in code and checks what
// it prints, what it writes and how it exits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/core/mat.h"
#include "engine/core/tiled.h"
#include "engine/nnet/nnet.h"
#include "tests/support/tool_run.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

using testing_support::ToolRun;

ToolRun Tool(const std::vector<std::string>& args) {
  return testing_support::RunTool(KESTREL_NNET_BIN, args, testing_support::LogEnv::kUser);
}

int Lines(const std::string& s) { return testing_support::CountLines(s); }

using testing_support::NnetBuilder;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/kn_" + name + "_" + std::to_string(getpid());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

class KestrelNnetTest : public ::testing::Test {
 protected:
  void SetUp() override { z_tables_acquire(kTablesVt); }
  void TearDown() override {
    for (const std::string& p : {model_, in_, out_, prior_}) std::remove(p.c_str());
    z_tables_release(kTablesVt);
  }
  std::string model_ = TempPath("model"), in_ = TempPath("in.f32"), out_ = TempPath("out.f32"),
              prior_ = TempPath("model.prior");
};

TEST_F(KestrelNnetTest, HelpAndUsageErrors) {
  ToolRun help = Tool({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: kestrel-nnet info MODEL"), std::string::npos);
  EXPECT_EQ(help.err, "");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"frobnicate", "x"}, {"info"}, {"eval", "a", "b"}, {"info", "x", "--bogus"}}) {
    ToolRun r = Tool(args);
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_EQ(r.err.rfind("kestrel-nnet: ", 0), 0u) << r.err;
  }
}

TEST_F(KestrelNnetTest, InfoListsLayersWithDimensionsAndOptions) {
  testing_support::LinearDesc lin;
  lin.in = 8;
  lin.out = 6;
  lin.bottleneck = 3;
  lin.layerNorm = true;
  lin.activation = "Tanh";
  testing_support::LstmCellDesc cell;
  cell.in = 6;
  cell.out = 4;
  cell.cell = 5;
  cell.peephole = true;
  NnetBuilder b;
  b.Affine(10, 8).Sigmoid(8).Linear(lin).Lstm(cell).Softmax(4);
  ASSERT_TRUE(b.Write(model_));
  ToolRun r = Tool({"info", model_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string want = "model: " + model_ +
                           "\n"
                           "format: component\n"
                           "input: 10\n"
                           "output: 4\n"
                           "layers: 5\n"
                           "  0 <AffineTransform> 10 -> 8\n"
                           "  1 <Sigmoid> 8 -> 8\n"
                           "  2 <LinearTransform> 8 -> 6: activation Tanh, bottleneck 3, layer normalisation\n"
                           "  3 <LSTM> 6 -> 4: cell 5, activation Tanh, peepholes, projection to 4\n"
                           "  4 <Softmax> 4 -> 4\n"
                           "priors: no\n";
  EXPECT_EQ(r.out, want);
}

TEST_F(KestrelNnetTest, EvalWritesTheBlockResultWithCorrections) {
  const int in = 7, out = 5, T = 9;
  NnetBuilder b(3);
  b.Affine(in, 6).Relu(6).Affine(6, out).Softmax(out);
  ASSERT_TRUE(b.Write(model_));
  ASSERT_TRUE(testing_support::WritePriorFile(prior_, {-1.0f, -2.0f, -3.0f, -4.0f, -5.0f}));
  std::vector<float> x(T * in);
  for (size_t i = 0; i < x.size(); ++i) x[i] = 0.1f * static_cast<float>(static_cast<int>(i % 13) - 6);
  WriteAll(in_, std::string(reinterpret_cast<const char*>(x.data()), 4 * x.size()));

  ToolRun r = Tool({"eval", model_, in_, out_, "--prior", prior_});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  const std::string got = testing_support::ReadFile(out_);
  ASSERT_EQ(got.size(), 4u * T * out);

  // The same evaluation in process: one block through the layers, then the
  // priors.
  Nnet* net = b.net();
  const float lp[5] = {-1.0f, -2.0f, -3.0f, -4.0f, -5.0f};
  net->SetPrior(lp);
  ZMat xin(T, in);
  for (int t = 0; t < T; ++t) std::memcpy(xin.row[t], &x[t * in], 4 * in);
  ZMat_Neon xt(T, in, false);
  xt.CopyFrom(&xin);
  std::vector<std::unique_ptr<Nnet_Component_Memory>> mems;
  ZMat_Neon* cur = &xt;
  for (Nnet_Component* c : net->components) {
    mems.emplace_back(c->GeneratePropagateMemory(T));
    c->PropagateFnc_Mat(cur, mems.back().get(), cur);
  }
  ZMat want(T, out);
  cur->CopyTo(&want);
  net->ProcessPrior_Mat(&want);
  for (int t = 0; t < T; ++t)
    EXPECT_EQ(std::memcmp(got.data() + 4 * t * out, want.row[t], 4 * out), 0) << "row " << t;

  // Without priors the rows are log-probabilities.
  r = Tool({"eval", model_, in_, out_});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string plain = testing_support::ReadFile(out_);
  float first[5];
  std::memcpy(first, plain.data(), sizeof(first));
  double sum = 0;
  for (float v : first) sum += std::exp(v);
  EXPECT_NEAR(sum, 1.0, 3e-3);
}

TEST_F(KestrelNnetTest, FailuresSayWhyInOneLine) {
  NnetBuilder b;
  b.Affine(4, 3);
  ASSERT_TRUE(b.Write(model_));
  WriteAll(in_, std::string(4 * 4 + 2, '\0'));  // one row and a half
  struct Case {
    std::vector<std::string> args;
    std::string part;
  } cases[] = {
      {{"info", "/nonexistent/m"}, "cannot open /nonexistent/m"},
      {{"eval", model_, in_, out_}, "not a whole number of rows of 4 floats"},
      {{"eval", model_, "/nonexistent/in", out_}, "cannot open /nonexistent/in"},
      {{"eval", model_, in_, out_, "--prior", "/nonexistent/p"}, "cannot open /nonexistent/p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.part);
    ToolRun r = Tool(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(Lines(r.err), 1) << r.err;
    EXPECT_NE(r.err.find(c.part), std::string::npos) << r.err;
  }
  // A damaged model: the loader's reason, still one line.
  const std::string bytes = testing_support::ReadFile(model_);
  WriteAll(model_, bytes.substr(0, bytes.size() / 2));
  ToolRun r = Tool({"info", model_});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Lines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find(model_ + ": rejected: "), std::string::npos) << r.err;
  // Legacy file given as a component model and the other way round.
  ToolRun legacy = Tool({"info", model_, "--legacy"});
  EXPECT_EQ(legacy.status, 1);
  EXPECT_EQ(Lines(legacy.err), 1) << legacy.err;
}

}  // namespace
}  // namespace __kestrel4__

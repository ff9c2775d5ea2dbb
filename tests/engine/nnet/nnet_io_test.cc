// Model files from outside: every malformed file is refused with one log line
// naming the file and the reason, and nothing is read or written outside a
// buffer (this test earns its keep in the sanitizer build). Truncated and
// byte-mutated copies of valid models of every layer type go through the
// loader, and whatever it accepts is evaluated.
#include <cstdio>
#include <functional>
#include <random>

#include "engine/nnet/nnet.h"
#include "engine/nnet/nnet_memory.h"
#include "tests/engine/nnet/nnet_test_util.h"
#include "tests/support/log_capture.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

using nnet_test::ModelFile;
using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::ReadFile;
using nnet_test::WriteFile;
using testing_support::LogCapture;
using testing_support::NnetBuilder;
using testing_support::NnetTempPath;

std::string LegacyBytes(const std::vector<int>& dims, size_t floats) {
  std::string s;
  int n = static_cast<int>(dims.size());
  s.append(reinterpret_cast<const char*>(&n), 4);
  s.append(reinterpret_cast<const char*>(dims.data()), 4 * dims.size());
  std::vector<float> data = Random(floats, 9);
  s.append(reinterpret_cast<const char*>(data.data()), 4 * floats);
  return s;
}

class BadModelTest : public nnet_test::TablesTest {
 protected:
  void TearDown() override {
    std::remove(path_.c_str());
    nnet_test::TablesTest::TearDown();
  }

  // Loads path_ and expects a refusal with one log line that names the file
  // and contains `reason`.
  void ExpectRefused(bool legacy, const std::string& reason) {
    LogCapture log;
    Nnet net(path_.c_str(), legacy);
    EXPECT_FALSE(net.IsValid());
    EXPECT_TRUE(net.components.empty());
    EXPECT_EQ(net.outDim, 0);
    EXPECT_EQ(net.prior, nullptr);
    ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    const std::string line = log.Lines()[0].text;
    EXPECT_NE(line.find(path_), std::string::npos) << line;
    EXPECT_NE(line.find(reason), std::string::npos) << line;
  }

  std::string path_ = NnetTempPath("bad.model");
};

TEST_F(BadModelTest, MalformedComponentFilesAreRefusedWithTheirReason) {
  struct Case {
    const char* name;
    std::function<void(ModelFile&)> write;
    const char* reason;
  } cases[] = {
      {"unknown token", [](ModelFile& m) { m.Tok("<Nnet>").Tok("<Dense>").Int(2).Int(3); },
       "unknown component token '<Dense>'"},
      {"matrix of 2^31-1 rows",
       [](ModelFile& m) {
         m.Tok("<Nnet>").Tok("<AffineTransform>").Int(2).Int(3);
         m.Tok("<LearnRateCoef>").Float(1).Tok("<BiasLearnRateCoef>").Float(1).Tok("<MaxNorm>").Float(0);
         m.Tok("FM").Int(2147483647).Int(3).Raw(std::string(64, '\0'));
       },
       "stored as 2147483647 x 3, the layer needs 2 x 3"},
      {"absurd header", [](ModelFile& m) { m.Tok("<Nnet>").Tok("<AffineTransform>").Int(2147483647).Int(3); },
       "output width is 2147483647"},
      {"negative width", [](ModelFile& m) { m.Tok("<Nnet>").Tok("<Sigmoid>").Int(-5).Int(-5); },
       "output width is -5"},
      {"widths that do not chain",
       [](ModelFile& m) { m.Tok("<Nnet>").Affine23(true).Tok("<Softmax>").Int(4).Int(4).Tok("</Nnet>"); },
       "component 1 (<Softmax>) takes 4 inputs but component 0 (<AffineTransform>) gives 2"},
      {"activation changing width", [](ModelFile& m) { m.Tok("<Nnet>").Tok("<Sigmoid>").Int(2).Int(3); },
       "maps 3 inputs to 2 outputs"},
      {"bias of the wrong length",
       [](ModelFile& m) {
         m.Tok("<Nnet>").Tok("<AffineTransform>").Int(2).Int(3);
         m.Tok("<LearnRateCoef>").Float(1).Tok("<BiasLearnRateCoef>").Float(1).Tok("<MaxNorm>").Float(0);
         m.Mat(2, 3, {1, 2, 3, 4, 5, 6}).Vec({1, 2, 3});
       },
       "affine bias holds 3 values, the layer needs 2"},
      {"no layers", [](ModelFile& m) { m.Tok("<Nnet>").Tok("</Nnet>"); }, "holds no layers"},
      {"no end", [](ModelFile& m) { m.Tok("<Nnet>").Affine23(true); }, "the file ends before the next component"},
      {"huge bottleneck without data",
       [](ModelFile& m) {
         m.Tok("<Nnet>").Tok("<LinearTransform>").Int(4).Int(4);
         m.Raw(std::string("\x01\x00\x01\x01", 4)).Tok("Sigmoid").Int(65536);
       },
       "bottleneck weights claims 262144 values"},
      {"bidirectional cells that do not fill the layer",
       [](ModelFile& m) {
         m.Tok("<Nnet>").Tok("<BLSTM>").Int(7).Int(2);
         for (int k = 0; k < 2; ++k) {
           m.Int(2).Int(3).Int(3).Raw(std::string("\x01\x00\x01\x00", 4)).Float(0).Tok("Tanh");
           m.Mat(2, 12, std::vector<float>(24, 0.0f)).Mat(3, 12, std::vector<float>(36, 0.0f));
           m.Vec(std::vector<float>(12, 0.0f));
         }
       },
       "the bidirectional LSTM cells map 2 -> 3 and 2 -> 3 but the layer header says 2 -> 7"},
      {"LSTM cell wider than its layer",
       [](ModelFile& m) {
         m.Tok("<Nnet>").Tok("<LSTM>").Int(3).Int(4);
         m.Int(5).Int(3).Int(3).Raw(std::string("\x01\x00\x01\x00", 4)).Float(0).Tok("Tanh");
         m.Mat(5, 12, std::vector<float>(60, 0.0f)).Mat(3, 12, std::vector<float>(36, 0.0f));
         m.Vec(std::vector<float>(12, 0.0f));
       },
       "the LSTM cell maps 5 -> 3 but the layer header says 4 -> 3"},
      {"odd projected output", [](ModelFile& m) { m.Tok("<Nnet>").Tok("<BLstmProjectedStreams>").Int(5).Int(2); },
       "needs an even output width, not 5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    {
      ModelFile m(path_);
      c.write(m);
    }
    ExpectRefused(false, c.reason);
  }
}

TEST_F(BadModelTest, MissingEmptyAndLegacyFilesAreRefused) {
  std::remove(path_.c_str());
  ExpectRefused(false, "cannot be opened");
  ExpectRefused(true, "cannot be opened");
  WriteFile(path_, "");
  ExpectRefused(false, "the file ends before the opening token");
  ExpectRefused(true, "the file ends inside the count of layer widths");

  struct Case {
    std::vector<int> dims;
    size_t floats;
    const char* reason;
  } cases[] = {
      {{4, 3}, 0, "lists 2 layer widths, it needs 3"},
      {{4, 0, 3}, 100, "layer width 1 is 0"},
      {{3, 65536, 65536}, 16, "bottleneck weights claims 196608 values"},
      {{3, 4, 2}, 3 * 4 + 4 + 2 * 4 + 2, "the log-priors"},  // one short of the priors
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    WriteFile(path_, LegacyBytes(c.dims, c.floats));
    ExpectRefused(true, c.reason);
  }
  std::string negative = LegacyBytes({3, 4, 2}, 50);
  const int n = -3;
  negative.replace(0, 4, reinterpret_cast<const char*>(&n), 4);
  WriteFile(path_, negative);
  ExpectRefused(true, "lists -3 layer widths");
}

// Valid models of every layer type, small enough to sweep every truncation.
std::vector<std::pair<std::string, std::string>> ValidModels() {
  std::vector<std::pair<std::string, std::string>> models;
  {
    NnetBuilder b(1);
    b.Affine(5, 4).Sigmoid(4).Tanh(4).Relu(4).Softmax(4);
    models.emplace_back("affine and activations", b.Bytes());
  }
  {
    testing_support::LinearDesc s;
    s.in = 5;
    s.out = 4;
    s.bottleneck = 2;
    s.layerNorm = true;
    testing_support::LinearDesc t;
    t.in = 4;
    t.out = 3;
    t.activation = "Softmax";
    NnetBuilder b(2);
    b.Linear(s).Linear(t);
    models.emplace_back("linear layers", b.Bytes());
  }
  {
    testing_support::LstmCellDesc c;
    c.in = 5;
    c.out = 3;
    c.cell = 4;
    c.layerNorm = true;
    c.peephole = true;
    NnetBuilder b(3);
    b.Lstm(c);
    models.emplace_back("LSTM", b.Bytes());
  }
  {
    testing_support::LstmCellDesc f, k;
    f.in = k.in = 5;
    f.out = 2;
    k.out = 3;
    k.cell = 2;
    f.peephole = true;
    f.forgetBias = 1.0f;
    NnetBuilder b(4);
    b.BLstm(f, k);
    models.emplace_back("BLSTM", b.Bytes());
  }
  {
    testing_support::BLstmProjectedDesc p;
    p.in = 5;
    p.out = 4;
    p.cell = 3;
    NnetBuilder b(5);
    b.BLstmProjected(p);
    models.emplace_back("projected BLSTM", b.Bytes());
  }
  return models;
}

// Whatever the loader accepted must evaluate without touching memory it
// does not own.
void Exercise(Nnet* net) {
  auto feats = Plain(13, net->inDim, Random(13 * net->inDim, 3, 2.0f));
  Nnet_Memory_Batch batch(net, 4, 3);
  ZMat* out = nullptr;
  int count = 0;
  batch.GetOutPut(feats.get(), 13, out, count);
  batch.GetOutPut(feats.get(), 5, out, count);
  Nnet_Memory_Total total(net);
  total.GetOutPut(feats.get(), 13, out, count);
}

TEST_F(BadModelTest, EveryTruncationIsRefused) {
  for (const auto& m : ValidModels()) {
    SCOPED_TRACE(m.first);
    const std::string& bytes = m.second;
    WriteFile(path_, bytes);
    {
      Nnet whole(path_.c_str(), false);
      ASSERT_TRUE(whole.IsValid());
    }
    // Every cut before the last byte; the last byte is the blank after
    // "</Nnet>", which the loader does not need.
    for (size_t len = 0; len + 1 < bytes.size(); ++len) {
      WriteFile(path_, bytes.substr(0, len));
      LogCapture log;
      Nnet net(path_.c_str(), false);
      ASSERT_FALSE(net.IsValid()) << "accepted a cut at " << len << " of " << bytes.size();
      ASSERT_EQ(log.Lines().size(), 1u) << log.Dump();
    }
    WriteFile(path_, bytes.substr(0, bytes.size() - 1));
    Nnet lastBlank(path_.c_str(), false);
    EXPECT_TRUE(lastBlank.IsValid());
  }
  // The legacy format: every cut.
  const std::string legacy = LegacyBytes({6, 5, 3, 4}, 5 * 6 + 5 + 3 * 5 + 3 + 4 * 3 + 4 + 4);
  WriteFile(path_, legacy);
  {
    Nnet whole(path_.c_str(), true);
    ASSERT_TRUE(whole.IsValid());
  }
  for (size_t len = 0; len < legacy.size(); ++len) {
    WriteFile(path_, legacy.substr(0, len));
    Nnet net(path_.c_str(), true);
    ASSERT_FALSE(net.IsValid()) << "accepted a legacy cut at " << len;
  }
}

TEST_F(BadModelTest, MutatedModelsLoadSafely) {
  constexpr uint32_t kSeed = 424242;
  std::mt19937 rng(kSeed);
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  int accepted = 0, refused = 0;
  auto models = ValidModels();
  models.emplace_back("legacy", LegacyBytes({6, 5, 3, 4}, 5 * 6 + 5 + 3 * 5 + 3 + 4 * 3 + 4 + 4));
  for (const auto& m : models) {
    const bool legacy = m.first == "legacy";
    for (int trial = 0; trial < 300; ++trial) {
      std::string bytes = m.second;
      const int changes = 1 + static_cast<int>(rng() % 3);
      for (int c = 0; c < changes; ++c) {
        const size_t at = rng() % bytes.size();
        // Half the time a single flipped bit, else any byte value.
        bytes[at] = (rng() & 1) ? static_cast<char>(bytes[at] ^ (1 << (rng() % 8))) : static_cast<char>(rng());
      }
      WriteFile(path_, bytes);
      LogCapture log;
      Nnet net(path_.c_str(), legacy);
      if (net.IsValid()) {
        ++accepted;
        Exercise(&net);
      } else {
        ++refused;
        ASSERT_EQ(log.Lines().size(), 1u) << m.first << " trial " << trial << "\n" << log.Dump();
      }
    }
  }
  // Both outcomes occur: the mutations reach the structure and the data.
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}

TEST_F(BadModelTest, NotANumberInTheWeightsStaysInsideTheTables) {
  NnetBuilder b(9);
  b.Affine(3, 4, {}, {NAN, 0.0f, INFINITY, -INFINITY}).Sigmoid(4).Tanh(4).Softmax(4);
  ASSERT_TRUE(b.Write(path_));
  Nnet net(path_.c_str(), false);
  ASSERT_TRUE(net.IsValid());
  Exercise(&net);
}

}  // namespace
}  // namespace __kestrel4__

#include "engine/nnet/nnet_memory.h"

#include "tests/engine/nnet/nnet_test_util.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Bits;
using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunNetBlock;
using testing_support::NnetBuilder;

constexpr int kIn = 6, kOut = 4;

// A feed-forward network (with priors) and a recurrent one: for the latter a
// frame evaluated alone differs from the same frame inside a block, which
// shows which path a frame took.
void BuildFeedForward(NnetBuilder* b) {
  b->Affine(kIn, 5).Sigmoid(5).Affine(5, kOut).Softmax(kOut).Priors({-1.0f, -2.0f, -0.5f, -3.0f});
}
void BuildRecurrent(NnetBuilder* b) {
  testing_support::LstmCellDesc c;
  c.in = kIn;
  c.out = kOut;
  c.peephole = true;
  b->Lstm(c).Priors({-1.0f, -2.0f, -0.5f, -3.0f});
}

// The corrected result of the given frames evaluated as one block.
std::vector<std::vector<float>> BlockResult(Nnet* net, const ZMat& feats, const std::vector<int>& frames) {
  ZMat in(static_cast<int>(frames.size()), net->inDim);
  for (size_t k = 0; k < frames.size(); ++k)
    for (int j = 0; j < net->inDim; ++j) in.row[k][j] = feats.row[frames[k]][j];
  std::vector<float> flat = RunNetBlock(net, in);
  std::vector<std::vector<float>> rows;
  for (size_t k = 0; k < frames.size(); ++k) {
    ZVec v(net->outDim);
    for (int j = 0; j < net->outDim; ++j) v.data[j] = flat[k * net->outDim + j];
    net->ProcessPrior_Vec(&v);
    rows.emplace_back(v.data, v.data + net->outDim);
  }
  return rows;
}

std::vector<float> Row(const ZMat* m, int i) { return std::vector<float>(m->row[i], m->row[i] + m->cols); }

class BatchTest : public nnet_test::TablesTest {};

TEST_F(BatchTest, TwelveFramesAreOneBlockOfFour) {
  auto feats = Plain(12, kIn, Random(12 * kIn, 1, 2.0f));
  NnetBuilder rb(3);
  BuildRecurrent(&rb);
  Nnet_Memory_Batch mem(rb.net(), 4, 3);
  ZMat* out = nullptr;
  int count = -1;
  mem.GetOutPut(feats.get(), 12, out, count);
  ASSERT_EQ(count, 12);
  ASSERT_EQ(out->rows, 12);
  auto block = BlockResult(rb.net(), *feats, {0, 3, 6, 9});
  for (int r = 0; r < 12; ++r) EXPECT_EQ(Row(out, r), block[r / 3]) << r;
  // Frame 3 alone would give something else: it really went through the block.
  EXPECT_NE(Row(out, 3), BlockResult(rb.net(), *feats, {3})[0]);
  EXPECT_EQ(mem.pending, 0);

  // The feed-forward network: the block rows equal the one-frame path's bits.
  NnetBuilder fb(4);
  BuildFeedForward(&fb);
  Nnet_Memory_Batch ffMem(fb.net(), 4, 3);
  ffMem.GetOutPut(feats.get(), 12, out, count);
  Nnet_Memory_Batch single(fb.net(), 4, 3);
  for (int f : {0, 3, 6, 9}) {
    auto one = Plain(1, kIn, std::vector<float>(feats->row[f], feats->row[f] + kIn));
    ZMat* o1 = nullptr;
    int c1 = 0;
    single.Reset();
    single.GetOutPut(one.get(), 1, o1, c1);  // one frame: the one-frame path
    for (int j = 0; j < kOut; ++j) EXPECT_EQ(Bits(out->row[f][j]), Bits(o1->row[0][j])) << f << "," << j;
  }
}

TEST_F(BatchTest, SevenThenFiveFramesKeepTheSkipGrid) {
  const std::vector<float> stream = Random(12 * kIn, 2, 2.0f);
  auto feats = Plain(12, kIn, stream);
  auto first = Plain(7, kIn, std::vector<float>(stream.begin(), stream.begin() + 7 * kIn));
  auto second = Plain(5, kIn, std::vector<float>(stream.begin() + 7 * kIn, stream.end()));
  NnetBuilder rb(5);
  BuildRecurrent(&rb);
  Nnet* net = rb.net();
  Nnet_Memory_Batch mem(net, 4, 3);
  ZMat* out = nullptr;
  int count = 0;
  mem.GetOutPut(first.get(), 7, out, count);
  ASSERT_EQ(count, 7);
  for (int r = 0; r < 7; ++r) EXPECT_EQ(Row(out, r), BlockResult(net, *feats, {r / 3 * 3})[0]) << r;
  EXPECT_EQ(mem.pending, 1);

  ZMat* same = out;
  mem.GetOutPut(second.get(), 5, out, count);
  ASSERT_EQ(count, 5);
  EXPECT_EQ(out, same);  // no growth: the same matrix
  auto f6 = BlockResult(net, *feats, {6})[0], f9 = BlockResult(net, *feats, {9})[0];
  EXPECT_EQ(Row(out, 0), f6);
  EXPECT_EQ(Row(out, 1), f6);
  for (int r = 2; r < 5; ++r) EXPECT_EQ(Row(out, r), f9) << r;
  EXPECT_EQ(mem.pending, 0);
}

TEST_F(BatchTest, ResetAndEmptyCalls) {
  auto feats = Plain(7, kIn, Random(7 * kIn, 3, 2.0f));
  NnetBuilder fb(6);
  BuildFeedForward(&fb);
  Nnet* net = fb.net();
  Nnet_Memory_Batch mem(net, 4, 3);
  ZMat* out = nullptr;
  int count = 0;
  mem.GetOutPut(feats.get(), 7, out, count);
  ASSERT_EQ(mem.pending, 1);
  // n = 0: nothing evaluated, the window stays open.
  mem.GetOutPut(feats.get(), 0, out, count);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(out->rows, 0);
  EXPECT_EQ(mem.pending, 1);

  // After Reset the first frame of the next call is evaluated.
  mem.Reset();
  mem.GetOutPut(feats.get(), 5, out, count);
  auto f0 = BlockResult(net, *feats, {0})[0], f3 = BlockResult(net, *feats, {3})[0];
  for (int r = 0; r < 3; ++r)
    for (int j = 0; j < kOut; ++j) EXPECT_NEAR(out->row[r][j], f0[j], 1e-6);
  for (int r = 3; r < 5; ++r)
    for (int j = 0; j < kOut; ++j) EXPECT_NEAR(out->row[r][j], f3[j], 1e-6);
  EXPECT_EQ(mem.pending, 2);
}

TEST_F(BatchTest, LongCallsGrowTheOutputAndNarrowFeaturesCountAsZero) {
  NnetBuilder fb(7);
  BuildFeedForward(&fb);
  Nnet* net = fb.net();
  Nnet_Memory_Batch mem(net, 4, 3);
  const int n = 200;  // more than the initial 120 rows
  auto feats = Plain(n, kIn, Random(n * kIn, 4));
  ZMat* out = nullptr;
  int count = 0;
  mem.GetOutPut(feats.get(), n, out, count);
  ASSERT_EQ(count, n);
  EXPECT_GE(out->allocRows, n);
  EXPECT_EQ(Row(out, n - 1), Row(out, 198));  // frame 198 opened the last window

  // Features narrower than the model's input: the missing columns are 0.
  auto narrow = Plain(3, kIn - 2, Random(3 * (kIn - 2), 5));
  auto padded = Plain(3, kIn, std::vector<float>(3 * kIn, 0.0f));
  for (int j = 0; j < kIn - 2; ++j) padded->row[0][j] = narrow->row[0][j];
  Nnet_Memory_Batch a(net, 4, 3), b(net, 4, 3);
  ZMat *oa = nullptr, *ob = nullptr;
  a.GetOutPut(narrow.get(), 3, oa, count);
  b.GetOutPut(padded.get(), 3, ob, count);
  EXPECT_EQ(Row(oa, 0), Row(ob, 0));
}

TEST_F(BatchTest, TotalRunsTheSegmentAsOneBlockAndReusesItsBuffers) {
  testing_support::LstmCellDesc f, b;
  f.in = b.in = kIn;
  f.out = b.out = 3;
  f.peephole = true;
  NnetBuilder nb(8);
  nb.BLstm(f, b).Affine(6, kOut).Priors({-1.0f, -2.0f, -0.5f, -3.0f});
  Nnet* net = nb.net();
  Nnet_Memory_Total mem(net);
  EXPECT_EQ(mem.capacity, 100);
  for (int n : {150, 20}) {
    SCOPED_TRACE(n);
    auto feats = Plain(n, kIn, Random(n * kIn, 9 + n));
    ZMat* out = nullptr;
    int count = 0;
    mem.GetOutPut(feats.get(), n, out, count);
    ASSERT_EQ(count, n);
    EXPECT_EQ(out->rows, n);
    EXPECT_EQ(mem.capacity, 150);
    std::vector<float> flat = RunNetBlock(net, *feats);
    ZMat want(n, kOut);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < kOut; ++j) want.row[i][j] = flat[i * kOut + j];
    want.RowSoftMax();
    net->ProcessPrior_Mat(&want);
    for (int i = 0; i < n; ++i) ASSERT_EQ(Row(out, i), Row(&want, i)) << i;
  }
  for (Nnet_Component_Memory* m : mem.memories) EXPECT_EQ(m->capacity, 300);
  ZMat* out = nullptr;
  int count = -1;
  mem.GetOutPut(nullptr, 0, out, count);
  EXPECT_EQ(count, 0);
}

TEST_F(BatchTest, UnusableNetworkGivesNoRows) {
  Nnet empty;
  Nnet_Memory_Batch mem(&empty, 4, 3);
  auto feats = Plain(5, 3, Random(15, 1));
  ZMat* out = nullptr;
  int count = -1;
  mem.GetOutPut(feats.get(), 5, out, count);
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace __kestrel4__

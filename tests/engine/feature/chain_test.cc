// The engine's feature path end to end: 1920-sample blocks through the
// filter bank and the four filters, as the wake engine drives them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "engine/feature/fea2.h"
#include "engine/feature/filter.h"

namespace __kestrel4__ {
namespace {

struct Chain {
  ZFea2 fea{16000, 4, 2};
  std::vector<std::unique_ptr<ZFilter>> filters;
  Chain() {
    const int D = fea.GetFeaDim();
    filters.emplace_back(new ZFilter_Delt(-2, 2, D, 2 * D));
    filters.emplace_back(new ZFilter_Delt(-2, 2, 2 * D, 3 * D));
    filters.emplace_back(new ZFilter_Norm(-4, 7, 3 * D, 3 * D));
    filters.emplace_back(new ZFilter_Cmb(-5, 5, 3 * D, 33 * D));
  }
  // Returns the filter-bank frames and network input rows of one call; the
  // filter-bank frames are appended to `fb`, the rows to `rows`.
  std::pair<int, int> Process(const float** ch, int n, std::vector<std::vector<float>>* fb,
                              std::vector<std::vector<float>>* rows) {
    ZMat* m = nullptr;
    int count = 0;
    fea.ContinueFb(ch, n, m, count);
    const int frames = count;
    for (int r = 0; r < count; ++r) fb->emplace_back(m->row[r], m->row[r] + fea.GetFeaDim());
    for (auto& f : filters) {
      if (count <= 0) break;
      f->FilterFea(m, count, m, count);
    }
    for (int r = 0; r < count; ++r) rows->emplace_back(m->row[r], m->row[r] + m->cols);
    return {frames, count};
  }
};

TEST(FeatureChainTest, BlocksOf1920Samples) {
  // 8 then 12 filter-bank frames per call; the first network input row
  // appears with the 21st frame (third call) and is centred on frame 4.
  const int calls = 5, n = 1920;
  std::mt19937 rng(12);
  std::normal_distribution<float> g(0.0f, 400.0f);
  std::vector<float> a(calls * n), b(calls * n);
  for (int t = 0; t < calls * n; ++t) {
    a[t] = g(rng);
    b[t] = g(rng);
  }
  srand48(12);
  Chain chain;
  std::vector<std::vector<float>> fb, rows;
  const std::pair<int, int> expect[calls] = {{8, 0}, {12, 0}, {12, 12}, {12, 12}, {12, 12}};
  for (int c = 0; c < calls; ++c) {
    const float* ch[2] = {a.data() + c * n, b.data() + c * n};
    EXPECT_EQ(chain.Process(ch, n, &fb, &rows), expect[c]) << "call " << c;
  }
  ASSERT_EQ(fb.size(), 56u);
  ASSERT_EQ(rows.size(), 36u);
  // Row j's centre block starts with filter-bank frame j + 4, normalised.
  const auto* norm = static_cast<ZFilter_Norm*>(chain.filters[2].get());
  const int D = 29, centre = 5 * 3 * D;
  for (int j = 0; j < 36; ++j)
    for (int v = 0; v < D; ++v)
      ASSERT_EQ(rows[j][centre + v], (fb[j + 4][v] - norm->pMean[v]) / norm->pStd[v]) << "row " << j << " value " << v;
}

}  // namespace
}  // namespace __kestrel4__

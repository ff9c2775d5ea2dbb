#include "engine/nnet/affine.h"

#include "tests/engine/nnet/nnet_test_util.h"

namespace __kestrel4__ {
namespace {

using nnet_test::Bits;
using nnet_test::Plain;
using nnet_test::Random;
using nnet_test::RunBlock;
using nnet_test::RunFrame;

TEST(AffineTest, MapsTheExampleFrameOnBothPaths) {
  Nnet_AffineTransform layer(3, 2);
  auto W = Plain(2, 3, {1, 2, 3, 4, 5, 6});
  ZVec b(2);
  b.data[0] = 0.5f;
  b.data[1] = -1.0f;
  layer.SetParams(W.get(), &b);

  const ZTilePath saved = z_tile_path();
  for (int p = 0; p < kTilePathCount; ++p) {
    if (!z_tile_force_path(static_cast<ZTilePath>(p))) continue;
    SCOPED_TRACE(z_tile_path_name(static_cast<ZTilePath>(p)));
    EXPECT_EQ(RunFrame(&layer, {1, 0, -1}), (std::vector<float>{-1.5f, -3.0f}));
    // Five frames: one full tile row and one tile row of padding rows.
    auto block = Plain(5, 3, {1, 0, -1, 1, 0, -1, 1, 0, -1, 1, 0, -1, 1, 0, -1});
    std::vector<float> out = RunBlock(&layer, *block);
    for (int t = 0; t < 5; ++t) {
      EXPECT_EQ(out[2 * t], -1.5f) << t;
      EXPECT_EQ(out[2 * t + 1], -3.0f) << t;
    }
  }
  z_tile_force_path(saved);
}

TEST(AffineTest, BlockAndFramePathsGiveTheSameBits) {
  // Both paths start from the bias and add the products in input order, so
  // for the affine layer they agree exactly, not only up to rounding.
  const int in = 37, out = 23, T = 9;
  Nnet_AffineTransform layer(in, out);
  auto W = Plain(out, in, Random(out * in, 11));
  auto bias = Random(out, 12);
  ZVec b(out);
  for (int i = 0; i < out; ++i) b.data[i] = bias[i];
  layer.SetParams(W.get(), &b);
  auto x = Random(T * in, 13, 3.0f);
  auto block = Plain(T, in, x);
  std::vector<float> rows = RunBlock(&layer, *block);
  for (int t = 0; t < T; ++t) {
    std::vector<float> frame(x.begin() + t * in, x.begin() + (t + 1) * in);
    std::vector<float> y = RunFrame(&layer, frame);
    for (int j = 0; j < out; ++j) ASSERT_EQ(Bits(rows[t * out + j]), Bits(y[j])) << t << "," << j;
  }
}

}  // namespace
}  // namespace __kestrel4__

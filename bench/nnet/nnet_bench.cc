// Throughput of the network products on the shapes of a realistic acoustic
// model (957 -> 512 -> 512 -> 512 -> 5191):
// - the block product Add_aAB_NEON on 4 frames, for every tile path this
//   processor offers, next to BLIS's cblas_sgemm on the same product;
// - the one-frame product Add_aAX_NENO, next to cblas_sgemv;
// - the four block products of the model back to back, tiled and BLIS (the
//   weights no longer stay cached between blocks);
// - one 4-frame block (12 input frames with skip 3) and one single frame of
//   the whole model through Nnet_Memory_Batch.
// Counters: GFLOP/s (2 * rows * inputs * outputs per product).
#include <benchmark/benchmark.h>
#include <cblas.h>

#include <memory>
#include <random>
#include <vector>

#include "engine/core/tiled.h"
#include "engine/nnet/activation.h"
#include "engine/nnet/affine.h"
#include "engine/nnet/nnet.h"
#include "engine/nnet/nnet_memory.h"

namespace {

using namespace __kestrel4__;

struct Shape {
  int in, out;
};
constexpr Shape kShapes[] = {{957, 512}, {512, 512}, {512, 5191}};
constexpr int kFrames = 4;

void Fill(ZMat* m, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-0.1f, 0.1f);
  for (int i = 0; i < m->rows; ++i)
    for (int j = 0; j < m->cols; ++j) m->row[i][j] = u(rng);
}

void SetFlops(benchmark::State& state, double flopsPerIteration) {
  state.counters["GFLOP/s"] =
      benchmark::Counter(flopsPerIteration * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// Runs the body with the given tile path; skips paths the processor lacks.
template <typename F>
void WithPath(benchmark::State& state, ZTilePath path, F body) {
  if (!z_tile_path_available(path)) {
    state.SkipWithError("path not offered by this processor");
    return;
  }
  const ZTilePath saved = z_tile_path();
  z_tile_force_path(path);
  state.SetLabel(z_tile_path_name(path));
  body();
  z_tile_force_path(saved);
}

// Args: shape index, tile path (-1: the path chosen at run time).
void BM_Tiled_AB(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const ZTilePath path = state.range(1) < 0 ? z_tile_path() : static_cast<ZTilePath>(state.range(1));
  ZMat x(kFrames, s.in), wt(s.in, s.out);
  Fill(&x, 1);
  Fill(&wt, 2);
  ZMat_Neon X(kFrames, s.in, false), WT(s.in, s.out, false), Y(kFrames, s.out, false);
  X.CopyFrom(&x);
  WT.CopyFrom(&wt);
  WithPath(state, path, [&] {
    for (auto _ : state) {
      Y.Clean();
      Y.Add_aAB_NEON(&X, &WT);
      benchmark::DoNotOptimize(Y.blocks[0][0]);
    }
  });
  SetFlops(state, 2.0 * kFrames * s.in * s.out);
}

void BM_Blis_sgemm(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  ZMat x(kFrames, s.in), wt(s.in, s.out), y(kFrames, s.out);
  Fill(&x, 1);
  Fill(&wt, 2);
  for (auto _ : state) {
    y.Clean();
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, kFrames, s.out, s.in, 1.0f, x.row[0], x.stride,
                wt.row[0], wt.stride, 1.0f, y.row[0], y.stride);
    benchmark::DoNotOptimize(y.row[0][0]);
  }
  SetFlops(state, 2.0 * kFrames * s.in * s.out);
}

void BM_Tiled_AX(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  const ZTilePath path = state.range(1) < 0 ? z_tile_path() : static_cast<ZTilePath>(state.range(1));
  ZMat w(s.out, s.in);
  Fill(&w, 3);
  ZMat_Neon W(s.out, s.in, false);
  W.CopyFrom(&w);
  ZVec x(s.in), y(s.out);
  for (int i = 0; i < s.in; ++i) x.data[i] = 0.01f * (i % 17);
  WithPath(state, path, [&] {
    for (auto _ : state) {
      y.Clean();
      y.Add_aAX_NENO(&W, &x);
      benchmark::DoNotOptimize(y.data[0]);
    }
  });
  SetFlops(state, 2.0 * s.in * s.out);
}

void BM_Blis_sgemv(benchmark::State& state) {
  const Shape s = kShapes[state.range(0)];
  ZMat w(s.out, s.in);
  Fill(&w, 3);
  ZVec x(s.in), y(s.out);
  for (int i = 0; i < s.in; ++i) x.data[i] = 0.01f * (i % 17);
  for (auto _ : state) {
    y.Clean();
    cblas_sgemv(CblasRowMajor, CblasNoTrans, s.out, s.in, 1.0f, w.row[0], w.stride, x.data, 1, 1.0f, y.data, 1);
    benchmark::DoNotOptimize(y.data[0]);
  }
  SetFlops(state, 2.0 * s.in * s.out);
}

// The acoustic model: affine + sigmoid hidden layers, affine + log-softmax
// output, built in memory.
std::unique_ptr<Nnet> AcousticModel() {
  std::unique_ptr<Nnet> net(new Nnet());
  const int dims[] = {957, 512, 512, 512, 5191};
  for (int k = 0; k < 4; ++k) {
    auto* a = new Nnet_AffineTransform(dims[k], dims[k + 1]);
    ZMat w(dims[k + 1], dims[k]);
    Fill(&w, 10 + k);
    ZVec b(dims[k + 1]);
    a->SetParams(&w, &b);
    net->AddComponent(a);
    if (k < 3)
      net->AddComponent(new Nnet_Sigmoid(dims[k + 1]));
    else
      net->AddComponent(new Nnet_SoftMax(dims[k + 1]));
  }
  return net;
}

double ModelFlops() { return 2.0 * (957.0 * 512 + 512.0 * 512 * 2 + 512.0 * 5191); }

// Arg: frames per call, 12 (one block of 4 evaluations) or 3 (one
// evaluation on the one-frame path).
void BM_Model_Batch(benchmark::State& state) {
  ZMat::InitQuickExp();
  std::unique_ptr<Nnet> net = AcousticModel();
  const int n = static_cast<int>(state.range(0));
  ZMat feats(n, 957);
  Fill(&feats, 20);
  Nnet_Memory_Batch mem(net.get(), 4, 3);
  ZMat* out = nullptr;
  int count = 0;
  state.SetLabel(z_tile_path_name(z_tile_path()));
  for (auto _ : state) {
    mem.GetOutPut(&feats, n, out, count);
    benchmark::DoNotOptimize(out->row[0][0]);
  }
  SetFlops(state, ModelFlops() * (n / 3));
}

// The four products of one 4-frame block of the model back to back (14.7 MB
// of weights, more than stays cached between blocks), tiled and BLIS.
void BM_Model_Products_Tiled(benchmark::State& state) {
  const int dims[] = {957, 512, 512, 512, 5191};
  std::vector<std::unique_ptr<ZMat_Neon>> W, Y;
  std::vector<std::unique_ptr<ZMat_Neon>> X;
  for (int k = 0; k < 4; ++k) {
    ZMat w(dims[k], dims[k + 1]), x(kFrames, dims[k]);
    Fill(&w, 30 + k);
    Fill(&x, 40 + k);
    W.emplace_back(new ZMat_Neon(dims[k], dims[k + 1], false));
    W.back()->CopyFrom(&w);
    X.emplace_back(new ZMat_Neon(kFrames, dims[k], false));
    X.back()->CopyFrom(&x);
    Y.emplace_back(new ZMat_Neon(kFrames, dims[k + 1], false));
  }
  state.SetLabel(z_tile_path_name(z_tile_path()));
  for (auto _ : state) {
    for (int k = 0; k < 4; ++k) {
      Y[k]->Clean();
      Y[k]->Add_aAB_NEON(X[k].get(), W[k].get());
    }
    benchmark::DoNotOptimize(Y[3]->blocks[0][0]);
  }
  SetFlops(state, ModelFlops() * kFrames);
}

void BM_Model_Products_Blis(benchmark::State& state) {
  const int dims[] = {957, 512, 512, 512, 5191};
  std::vector<std::unique_ptr<ZMat>> W, X, Y;
  for (int k = 0; k < 4; ++k) {
    W.emplace_back(new ZMat(dims[k], dims[k + 1]));
    Fill(W.back().get(), 30 + k);
    X.emplace_back(new ZMat(kFrames, dims[k]));
    Fill(X.back().get(), 40 + k);
    Y.emplace_back(new ZMat(kFrames, dims[k + 1]));
  }
  for (auto _ : state) {
    for (int k = 0; k < 4; ++k) {
      Y[k]->Clean();
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, kFrames, dims[k + 1], dims[k], 1.0f, X[k]->row[0],
                  X[k]->stride, W[k]->row[0], W[k]->stride, 1.0f, Y[k]->row[0], Y[k]->stride);
    }
    benchmark::DoNotOptimize(Y[3]->row[0][0]);
  }
  SetFlops(state, ModelFlops() * kFrames);
}

void ShapesAndPaths(benchmark::internal::Benchmark* b) {
  for (int s = 0; s < 3; ++s)
    for (int p : {-1, static_cast<int>(kTilePathRef), static_cast<int>(kTilePathSse2), static_cast<int>(kTilePathAvx2),
                  static_cast<int>(kTilePathNeon)})
      b->Args({s, p});
  b->ArgNames({"shape", "path"});
}

void Shapes(benchmark::internal::Benchmark* b) {
  for (int s = 0; s < 3; ++s) b->Args({s});
  b->ArgNames({"shape"});
}

BENCHMARK(BM_Tiled_AB)->Apply(ShapesAndPaths);
BENCHMARK(BM_Blis_sgemm)->Apply(Shapes);
BENCHMARK(BM_Tiled_AX)->Apply(ShapesAndPaths);
BENCHMARK(BM_Blis_sgemv)->Apply(Shapes);
BENCHMARK(BM_Model_Products_Tiled);
BENCHMARK(BM_Model_Products_Blis);
BENCHMARK(BM_Model_Batch)->Arg(12)->Arg(3)->ArgName("frames");

}  // namespace

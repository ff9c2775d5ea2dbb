// The localiser's cost: real-time factor of PutData for six microphones, and
// the per-frame split between transforms, spline fits and spline
// evaluations (15 pairs x 852 candidates).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "engine/sl/sl_mem.h"

using namespace __kestrel4__;

namespace {

constexpr int kMics = 6;

std::vector<float> Circle() {
  std::vector<float> pos;
  for (int i = 0; i < kMics; ++i) {
    double a = 2.0 * 3.14159265358979323846 * i / kMics;
    pos.insert(pos.end(), {static_cast<float>(0.05 * std::cos(a)), static_cast<float>(0.05 * std::sin(a)), 0.0f});
  }
  return pos;
}

std::vector<std::vector<float>> Noise(int n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g(0.0f, 1000.0f);
  std::vector<std::vector<float>> ch(kMics, std::vector<float>(n));
  for (auto& c : ch)
    for (float& v : c) v = g(rng);
  return ch;
}

// One second of audio per iteration in 10 ms blocks; "rtf" is seconds of
// compute per second of audio.
void BM_PutData(benchmark::State& state) {
  std::vector<float> pos = Circle();
  ZSlMem m(kMics, pos.data(), nullptr);
  auto ch = Noise(16000);
  std::vector<float*> ptr(kMics);
  for (auto _ : state) {
    for (int done = 0; done < 16000; done += 160) {
      for (int i = 0; i < kMics; ++i) ptr[i] = ch[i].data() + done;
      m.PutData(ptr.data(), 160);
    }
  }
  state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PutData)->Unit(benchmark::kMillisecond);

// A localiser that has processed one frame, so every stage holds real data.
struct Primed {
  Primed() : pos(Circle()), m(kMics, pos.data(), nullptr) {
    auto ch = Noise(1024);
    std::vector<float*> ptr(kMics);
    for (int i = 0; i < kMics; ++i) ptr[i] = ch[i].data();
    m.PutData(ptr.data(), 1024);
  }
  std::vector<float> pos;
  ZSlMem m;
};

// Per frame: the whole frame, then its parts.
void BM_Frame(benchmark::State& state) {
  Primed p;
  for (auto _ : state) p.m.ProcessSingleFrm();
}
BENCHMARK(BM_Frame)->Unit(benchmark::kMicrosecond);

void BM_FrameTransforms(benchmark::State& state) {
  Primed p;
  ZSlMem& m = p.m;
  for (auto _ : state) {
    m.pFft->ExecuteR2C(m.pWinFrame, m.pSpectrum);
    ZCMat::CalcGcc(m.pSpectrum, m.pPairMat, m.pGcc);
    m.pIfft->ExecuteC2R(m.pGcc, m.pCorr);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FrameTransforms)->Unit(benchmark::kMicrosecond);

void BM_FrameSplineFits(benchmark::State& state) {
  Primed p;
  ZSlMem& m = p.m;
  const int n = 2 * m.nMaxLag + 1;
  std::vector<double> y(n);
  for (auto _ : state) {
    for (int q = 0; q < m.nPair; ++q) {
      for (int k = 0; k < n; ++k) y[k] = m.pLagWin->row[q][k];
      m.mSpline.set_values(y.data());
    }
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FrameSplineFits)->Unit(benchmark::kMicrosecond);

// The 15 x 852 evaluations at pre-located lags (as the localiser does) and,
// for comparison, with a binary search per evaluation.
void BM_FrameSplineEvals(benchmark::State& state) {
  Primed p;
  ZSlMem& m = p.m;
  std::vector<spline::point> pts;
  for (int q = 0; q < m.nPair; ++q)
    for (int c = 0; c < m.nCand; ++c) pts.push_back(m.mSpline.locate(m.pLag->row[q][c]));
  std::vector<float> score(m.nCand);
  for (auto _ : state) {
    for (int q = 0; q < m.nPair; ++q) {
      const spline::point* pt = &pts[static_cast<size_t>(q) * m.nCand];
      for (int c = 0; c < m.nCand; ++c) score[c] += m.mSpline.eval(pt[c]);
    }
    benchmark::DoNotOptimize(score.data());
  }
}
BENCHMARK(BM_FrameSplineEvals)->Unit(benchmark::kMicrosecond);

void BM_FrameSplineEvalsSearched(benchmark::State& state) {
  Primed p;
  ZSlMem& m = p.m;
  std::vector<float> score(m.nCand);
  for (auto _ : state) {
    for (int q = 0; q < m.nPair; ++q) {
      const float* lag = m.pLag->row[q];
      for (int c = 0; c < m.nCand; ++c) score[c] += m.mSpline(lag[c]);
    }
    benchmark::DoNotOptimize(score.data());
  }
}
BENCHMARK(BM_FrameSplineEvalsSearched)->Unit(benchmark::kMicrosecond);

}  // namespace

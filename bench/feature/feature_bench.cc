// Cost of the feature path: the streaming filter bank on 1920-sample blocks
// for 1, 4 and 8 channels, the whole chain (filter bank and the four
// filters) as the wake engine runs it, the dither draws on their own, and
// the classifier's one-shot extractor. "rtf" is seconds of compute per
// second of audio.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/core/util.h"
#include "engine/feature/fea1.h"
#include "engine/feature/fea2.h"
#include "engine/feature/filter.h"

using namespace __kestrel4__;

namespace {

constexpr int kBlock = 1920;   // the pipeline's block: 12 frames
constexpr int kBlocks = 25;    // 3 s of audio per iteration
constexpr double kSeconds = kBlock * kBlocks / 16000.0;

std::vector<std::vector<float>> Noise(int channels, int n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g(0.0f, 1000.0f);
  std::vector<std::vector<float>> ch(channels, std::vector<float>(n));
  for (auto& c : ch)
    for (float& v : c) v = g(rng);
  return ch;
}

void SetRtf(benchmark::State& state, double audioSecondsPerIteration) {
  state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()) * audioSecondsPerIteration,
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_ContinueFb(benchmark::State& state) {
  const int C = static_cast<int>(state.range(0));
  ZFea2 fea(16000, 4, C);
  auto audio = Noise(C, kBlock * kBlocks);
  std::vector<const float*> ptr(C);
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      for (int c = 0; c < C; ++c) ptr[c] = audio[c].data() + b * kBlock;
      ZMat* out = nullptr;
      int frames = 0;
      fea.ContinueFb(ptr.data(), kBlock, out, frames);
      benchmark::DoNotOptimize(out->row[0][0]);
    }
  }
  SetRtf(state, kSeconds);
}
BENCHMARK(BM_ContinueFb)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

void BM_FeatureChain(benchmark::State& state) {
  const int C = static_cast<int>(state.range(0));
  ZFea2 fea(16000, 4, C);
  const int D = fea.GetFeaDim();
  ZFilter_Delt d1(-2, 2, D, 2 * D);
  ZFilter_Delt d2(-2, 2, 2 * D, 3 * D);
  ZFilter_Norm norm(-4, 7, 3 * D, 3 * D);
  ZFilter_Cmb cmb(-5, 5, 3 * D, 33 * D);
  ZFilter* chain[4] = {&d1, &d2, &norm, &cmb};
  auto audio = Noise(C, kBlock * kBlocks);
  std::vector<const float*> ptr(C);
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      for (int c = 0; c < C; ++c) ptr[c] = audio[c].data() + b * kBlock;
      ZMat* m = nullptr;
      int n = 0;
      fea.ContinueFb(ptr.data(), kBlock, m, n);
      for (ZFilter* f : chain) {
        if (n <= 0) break;
        f->FilterFea(m, n, m, n);
      }
      benchmark::DoNotOptimize(m->row[0][0]);
    }
  }
  SetRtf(state, kSeconds);
}
BENCHMARK(BM_FeatureChain)->Arg(1)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);

// The dither alone: one Gaussian draw per sample of every 25 ms frame,
// 400 draws per 10 ms of audio per channel (the share of ContinueFb/1 that
// the process-wide generator takes).
void BM_DitherDraws(benchmark::State& state) {
  const int frames = kBlocks * 12;
  for (auto _ : state) {
    float s = 0.0f;
    for (int i = 0; i < frames * 400; ++i) s += z_randgauss();
    benchmark::DoNotOptimize(s);
  }
  SetRtf(state, kSeconds);
}
BENCHMARK(BM_DitherDraws)->Unit(benchmark::kMillisecond);

// The classifier's extractor on a 1.5 s segment.
void BM_ExtractFBank(benchmark::State& state) {
  const int n = 24000;
  ZFea1 fea(16000, 40);
  auto audio = Noise(1, n);
  for (auto _ : state) {
    ZMat* out = nullptr;
    fea.ExtractFBank(audio[0].data(), n, out);
    benchmark::DoNotOptimize(out->row[0][0]);
  }
  SetRtf(state, n / 16000.0);
}
BENCHMARK(BM_ExtractFBank)->Unit(benchmark::kMillisecond);

}  // namespace

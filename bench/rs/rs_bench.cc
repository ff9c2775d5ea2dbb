// Sample-rate conversion speed: a 10-channel 48 kHz capture converted to
// 16 kHz in 10 ms blocks, as the front end does it, by our converter (on
// every tiled-kernel path the processor offers; the argument is the path)
// and by SpeexDSP's resampler at its default quality on the same input.
// Items are input samples summed over channels; compare the items_per_second
// of one run.
#include <benchmark/benchmark.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/core/tiled.h"
#include "include/kestrel.h"

namespace {

constexpr int kChannels = 10;
constexpr int kBlock = 480;  // 10 ms at 48 kHz
constexpr int kBlocks = 50;

// Half a second of capture: a tone per channel plus a little deterministic noise.
std::vector<std::vector<float>> Capture() {
  std::vector<std::vector<float>> in(kChannels, std::vector<float>(kBlock * kBlocks));
  uint32_t seed = 12345;
  for (int c = 0; c < kChannels; ++c) {
    for (size_t i = 0; i < in[c].size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      const float noise = static_cast<float>(static_cast<int32_t>(seed >> 16) - 32768) / 32768.0f;
      in[c][i] = 8000.0f * std::sin(0.01f * (c + 1) * i) + 500.0f * noise;
    }
  }
  return in;
}

void BM_Kestrel_48k_to_16k(benchmark::State& state) {
  using namespace __kestrel4__;
  const ZTilePath path = static_cast<ZTilePath>(state.range(0));
  const ZTilePath before = z_tile_path();
  if (!z_tile_force_path(path)) {
    state.SkipWithError("tile path not available on this processor");
    return;
  }
  state.SetLabel(z_tile_path_name(path));
  const auto in = Capture();
  const int64_t rs = w6_rs_create(kChannels, 48000, 16000, 160);
  if (rs == 0) {
    state.SkipWithError("w6_rs_create failed");
    return;
  }
  const float* ptr[kChannels];
  int block = 0;
  for (auto _ : state) {
    for (int c = 0; c < kChannels; ++c) ptr[c] = in[c].data() + block * kBlock;
    float** out = nullptr;
    int count = 0;
    w6_rs_process_float(rs, ptr, kBlock, &out, &count);
    benchmark::DoNotOptimize(out[0][0]);
    block = (block + 1) % kBlocks;
  }
  state.SetItemsProcessed(state.iterations() * kChannels * kBlock);
  w6_rs_free(rs);
  z_tile_force_path(before);
}
BENCHMARK(BM_Kestrel_48k_to_16k)->DenseRange(__kestrel4__::kTilePathRef, __kestrel4__::kTilePathCount - 1);

void BM_Speex_48k_to_16k(benchmark::State& state) {
  const auto in = Capture();
  int err = 0;
  SpeexResamplerState* st =
      speex_resampler_init(kChannels, 48000, 16000, SPEEX_RESAMPLER_QUALITY_DEFAULT, &err);
  if (st == nullptr) {
    state.SkipWithError("speex_resampler_init failed");
    return;
  }
  std::vector<std::vector<float>> out(kChannels, std::vector<float>(kBlock));
  int block = 0;
  for (auto _ : state) {
    for (int c = 0; c < kChannels; ++c) {
      spx_uint32_t inLen = kBlock;
      spx_uint32_t outLen = kBlock;
      speex_resampler_process_float(st, c, in[c].data() + block * kBlock, &inLen, out[c].data(), &outLen);
    }
    benchmark::DoNotOptimize(out[0][0]);
    block = (block + 1) % kBlocks;
  }
  state.SetItemsProcessed(state.iterations() * kChannels * kBlock);
  speex_resampler_destroy(st);
}
BENCHMARK(BM_Speex_48k_to_16k);

}  // namespace

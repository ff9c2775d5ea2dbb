// Cost of the signal-processing kit and the voice-activity detector on the
// device's configuration: 6 microphones, 2 loudspeaker references, 16 kHz.
// Each benchmark reports "rtf", the processing time per second of audio (a
// real-time factor: 0.01 means 1 % of one core).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "ext/w6ssp.h"
#include "ext/wren.h"
#include "tests/platform/signals.h"

namespace {

using namespace testsig;

constexpr int kMics = 6;
constexpr int kRefs = 2;
constexpr int kLoop = 4 * kRate;  // the audio that the benchmarks cycle through

void SetRtf(benchmark::State& state, double audio_seconds_per_iteration) {
  state.counters["rtf"] = benchmark::Counter(
      audio_seconds_per_iteration * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Speech-like talk over noise, one planar block of `channels` channels per
// frame of `frame` samples, at the given scale.
std::vector<float> Capture(int channels, double scale, uint64_t seed) {
  std::vector<float> x(static_cast<size_t>(channels) * kLoop);
  for (int c = 0; c < channels; ++c) {
    std::vector<float> s = SpeechLike(kLoop, 3000.0 * scale, seed + c);
    std::vector<float> n = WhiteNoise(kLoop, 100.0 * scale, seed + 50 + c);
    for (int i = 0; i < kLoop; ++i) x[static_cast<size_t>(c) * kLoop + i] = s[i] + n[i];
  }
  return x;
}

// Gathers frame k (frame samples per channel) into a planar scratch.
void Gather(const std::vector<float>& x, int channels, int frame, int k, std::vector<float>& out) {
  const int s = (k * frame) % (kLoop - frame);
  for (int c = 0; c < channels; ++c) {
    std::copy(&x[static_cast<size_t>(c) * kLoop + s], &x[static_cast<size_t>(c) * kLoop + s] + frame,
              &out[static_cast<size_t>(c) * frame]);
  }
}

void BM_EchoCanceller6Mics2Refs(benchmark::State& state) {
  const int frame = 256;
  const std::vector<float> mics = Capture(kMics, 1.0, 1), refs = Capture(kRefs, 1.0, 9);
  int64_t aec = w6ssp_aec_create(0);
  w6ssp_aec_init(aec, 16000, kMics, kRefs);
  std::vector<float> in(frame * kMics), ref(frame * kRefs), out(frame * kMics);
  int k = 0;
  for (auto _ : state) {
    Gather(refs, kRefs, frame, k, ref);
    Gather(mics, kMics, frame, k++, in);
    w6ssp_aec_buffer_farend(aec, ref.data(), frame * kRefs);
    benchmark::DoNotOptimize(w6ssp_aec_process(aec, in.data(), frame * kMics, out.data(), 0));
  }
  w6ssp_aec_free(aec);
  SetRtf(state, frame / 16000.0);
}
BENCHMARK(BM_EchoCanceller6Mics2Refs);

// One channel; the wake pipeline runs one suppressor per microphone.
void BM_NoiseSuppressorPerChannel(benchmark::State& state) {
  const std::vector<float> x = Capture(1, 64.0, 2);
  int64_t ns = w6ssp_ns_create();
  w6ssp_ns_init(ns, 16000);
  w6ssp_ns_set_mode(ns, 2);
  std::vector<float> in(160), out(160);
  int k = 0;
  for (auto _ : state) {
    Gather(x, 1, 160, k++, in);
    w6ssp_ns_process(ns, in.data(), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  w6ssp_ns_free(ns);
  SetRtf(state, 0.01);
}
BENCHMARK(BM_NoiseSuppressorPerChannel);

// Re-steered once a second, as after a wake word (the fading frame costs
// twice).
void BM_Beamformer6Mics(benchmark::State& state) {
  const std::vector<float> x = Capture(kMics, 64.0, 3);
  float positions[3 * kMics], delays[kMics] = {};
  for (int m = 0; m < kMics; ++m) {
    positions[3 * m] = static_cast<float>(0.05 * std::cos(2.0 * kPi * m / kMics));
    positions[3 * m + 1] = static_cast<float>(0.05 * std::sin(2.0 * kPi * m / kMics));
    positions[3 * m + 2] = 0.f;
  }
  int64_t bf = w6ssp_bf_create(positions, kMics);
  w6ssp_bf_init(bf, 10, 16000);
  w6ssp_bf_set_mic_delays(bf, delays, kMics);
  std::vector<float> in(160 * kMics), out(160);
  int k = 0;
  for (auto _ : state) {
    if (k % 100 == 99) w6ssp_bf_steer(bf, 0.1f * k, 0.2f, 0.1f * k + 3.1415925f, 0);
    Gather(x, kMics, 160, k++, in);
    w6ssp_bf_process(bf, in.data(), 160 * kMics, kMics, out.data());
    benchmark::DoNotOptimize(out.data());
  }
  w6ssp_bf_free(bf);
  SetRtf(state, 0.01);
}
BENCHMARK(BM_Beamformer6Mics);

void BM_GainControl(benchmark::State& state) {
  const std::vector<float> x = Capture(1, 0.3, 4);
  int64_t agc = w6ssp_agc_create();
  w6ssp_agc_init(agc, 10, 16000);
  int16_t frame[160];
  int k = 0;
  for (auto _ : state) {
    const int s = (k++ * 160) % (kLoop - 160);
    for (int i = 0; i < 160; ++i) frame[i] = static_cast<int16_t>(x[s + i]);
    w6ssp_agc_process(agc, frame);
    benchmark::DoNotOptimize(frame);
  }
  w6ssp_agc_free(agc);
  SetRtf(state, 0.01);
}
BENCHMARK(BM_GainControl);

void BM_VoiceActivity(benchmark::State& state) {
  const std::vector<float> x = Capture(1, 64.0, 5);
  const int vad = VD_NewVad(1);
  std::vector<float> in(160);
  int k = 0;
  for (auto _ : state) {
    Gather(x, 1, 160, k++, in);
    VD_InputFloatWave(vad, in.data(), 160, 0, 0);
    if (VD_GetVoiceStopFrame(vad) > 0) VD_RestartVad(vad);
  }
  VD_DelVad(vad);
  SetRtf(state, 0.01);
}
BENCHMARK(BM_VoiceActivity);

}  // namespace

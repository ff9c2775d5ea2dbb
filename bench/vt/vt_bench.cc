// Cost of the wake-word engine at a deployed model's size: w6_vt_process on
// 1920-sample blocks (the pipeline's block, 12 frames) of noise-like audio,
// with a 957 -> 512 -> 512 -> 512 -> 5191 network (sigmoid hidden layers,
// softmax output, log-priors), a phone table of 40 phones whose 1730 tied
// models spread over the outputs, and two words of eight positions each.
// The stages' shares of one run's time are measured inside the process
// steps (BM_VtStageShares), and each stage is also timed on its own
// (features and filters, the batched network, the two detectors) on the
// rows it really sees.
// "rtf" is seconds of compute per second of audio.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/core/buffers.h"
#include "engine/core/mat.h"
#include "engine/feature/fea2.h"
#include "engine/feature/filter.h"
#include "engine/nnet/nnet_memory.h"
#include "engine/vt/det.h"
#include "engine/vt/vt_mem.h"
#include "engine/vt/vt_sto.h"
#include "engine/vt/word.h"
#include "include/kestrel.h"
#include "tests/support/nnet_builder.h"
#include "tests/support/pho_builder.h"

using namespace __kestrel4__;

namespace {

constexpr int kRate = 16000;
constexpr int kBlock = 1920;   // the pipeline's block: 12 frames
constexpr int kBlocks = 25;    // 3 s of audio per iteration
constexpr int kAudioBlocks = 100;  // 12 s of distinct audio, cycled
constexpr double kSeconds = kBlock * kBlocks / static_cast<double>(kRate);
constexpr int kInputs = 957;
constexpr int kHidden = 512;
constexpr int kOutputs = 5191;
constexpr int kPhones = 40;  // "sil" and p01 .. p39

// Two words of eight positions in four blocks; the second has an
// alternative at its fifth position and must be followed by silence.
const char* const kWordPhones[2] = {"p03|# p11 p17|# p05 p22|# p30 p08 p14|#",
                                    "p21|# p09 p33|# p02|p12 p27|# p18 p36 p06|#"};

void SetRtf(benchmark::State& state, double audioSecondsPerIteration) {
  state.counters["rtf"] = benchmark::Counter(static_cast<double>(state.iterations()) * audioSecondsPerIteration,
                                             benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

std::vector<std::vector<float>> Noise(int channels, int n) {
  std::mt19937 rng(1);
  std::normal_distribution<float> g(0.0f, 1000.0f);
  std::vector<std::vector<float>> ch(channels, std::vector<float>(n));
  for (auto& c : ch)
    for (float& v : c) v = g(rng);
  return ch;
}

bool WriteModel(const std::string& path) {
  // Weights scaled so that every layer's sums stay in the sigmoid's working
  // range for unit-variance inputs.
  testing_support::NnetBuilder b(11, 0.05f);
  b.Affine(kInputs, kHidden).Sigmoid(kHidden);
  b.Affine(kHidden, kHidden).Sigmoid(kHidden);
  b.Affine(kHidden, kHidden).Sigmoid(kHidden);
  b.Affine(kHidden, kOutputs).Softmax(kOutputs);
  if (!b.Write(path)) return false;
  // Priors of uneven size around the uniform 1/5191, normalised. With
  // these the untrained network's scaled likelihoods stay near 0 on noise,
  // so the words' threshold of 3 is never reached: the engine listens.
  std::mt19937 rng(5);
  std::normal_distribution<double> g(0.0, 0.5);
  std::vector<double> p(kOutputs);
  double sum = 0.0;
  for (double& v : p) sum += (v = std::exp(g(rng)));
  std::vector<float> logPriors(kOutputs);
  for (int i = 0; i < kOutputs; ++i) logPriors[i] = static_cast<float>(std::log(p[i] / sum));
  return testing_support::WritePriorFile(path + ".prior", logPriors);
}

bool WritePhoneTable(const std::string& path) {
  std::vector<std::string> names = {"sil"};
  for (int p = 1; p < kPhones; ++p) {
    char name[8];
    std::snprintf(name, sizeof(name), "p%02d", p);
    names.push_back(name);
  }
  testing_support::PhoTableBuilder t(names);
  // 1730 tied models with the ids 3r + 1 .. 3r + 3: model 0 is silence, the
  // other 1729 are shared out among the 39 phones; a triphone picks one of
  // its centre phone's models from its two contexts.
  const int models = (kOutputs - 1) / 3;
  for (int r = 0; r < models; ++r) t.Model(3 * r + 1, 3 * r + 2, 3 * r + 3);
  std::vector<int> first(kPhones + 1);
  first[0] = 0;
  first[1] = 1;
  for (int c = 1; c < kPhones; ++c) first[c + 1] = first[c] + (models - 1) / (kPhones - 1) + (c <= (models - 1) % (kPhones - 1) ? 1 : 0);
  for (int l = 0; l < kPhones; ++l)
    for (int c = 0; c < kPhones; ++c)
      for (int r = 0; r < kPhones; ++r) {
        const int count = first[c + 1] - first[c];
        t.triRows[t.TriId(l, c, r)] = c == 0 ? 0 : first[c] + (31 * l + 17 * r) % count;
      }
  return t.Write(path);
}

WordInfo Record(int type, const char* text, const char* phones) {
  WordInfo w;
  std::memset(&w, 0, sizeof(w));
  w.WordType = type;
  std::snprintf(w.WordContent, sizeof(w.WordContent), "%s", text);
  std::snprintf(w.WordContent_Phone, sizeof(w.WordContent_Phone), "%s", phones);
  w.BlockAvgScore = 3.0f;
  w.BlockMinScore = -1.0f;
  w.ClassifyNnetShield = -0.3f;
  return w;
}

// The engine's store with the model and table on disk, made once for the
// whole program; the files are removed at exit.
struct Engine {
  Engine() {
    model = testing_support::NnetTempPath("vt_bench.nnet");
    table = testing_support::NnetTempPath("vt_bench.phones");
    ok = WriteModel(model) && WritePhoneTable(table);
    if (ok) {
      w6_vt_sysinit(model.c_str(), table.c_str());
      ok = g_VtSto != nullptr && static_cast<ZVtSto*>(g_VtSto)->HasNnet();
    }
    words = {Record(1, "first", kWordPhones[0]), Record(2, "second", kWordPhones[1])};
    audio = Noise(4, kBlock * kAudioBlocks);
  }
  ~Engine() {
    w6_vt_sysexit();
    std::remove(model.c_str());
    std::remove((model + ".prior").c_str());
    std::remove(table.c_str());
  }
  ZVtSto* sto() const { return static_cast<ZVtSto*>(g_VtSto); }

  std::string model, table;
  bool ok = false;
  std::vector<WordInfo> words;
  std::vector<std::vector<float>> audio;
};

Engine& GetEngine() {
  static Engine engine;
  return engine;
}

// The feature chain as the engine runs it.
struct Features {
  explicit Features(int channels) : fea(kRate, 4, channels) {
    const int D = fea.GetFeaDim();
    chain.push_back(new ZFilter_Delt(-2, 2, D, 2 * D));
    chain.push_back(new ZFilter_Delt(-2, 2, 2 * D, 3 * D));
    chain.push_back(new ZFilter_Norm(-4, 7, 3 * D, 3 * D));
    chain.push_back(new ZFilter_Cmb(-5, 5, 3 * D, 33 * D));
  }
  ~Features() {
    for (ZFilter* f : chain) delete f;
  }
  ZMat* Run(const float** ch, int n, int& m) {
    ZMat* out = nullptr;
    fea.ContinueFb(ch, n, out, m);
    for (ZFilter* f : chain) {
      if (m <= 0) break;
      f->FilterFea(out, m, out, m);
    }
    return out;
  }
  ZFea2 fea;
  std::vector<ZFilter*> chain;
};

// The spliced feature rows of every audio block (channel 0), and the
// network's output rows for them.
struct Rows {
  std::vector<ZMat*> feats;               // per block, m x 957 (kept for the program's life)
  std::vector<std::vector<float>> outs;   // per block, m x 5191
  std::vector<int> count;
};

const Rows& GetRows() {
  static Rows rows = [] {
    Engine& e = GetEngine();
    Rows r;
    Features f(1);
    Nnet_Memory_Batch net(e.sto()->pNnet, 4, 3);
    for (int b = 0; b < kAudioBlocks; ++b) {
      const float* ch[1] = {e.audio[0].data() + b * kBlock};
      int m = 0;
      ZMat* feats = f.Run(ch, kBlock, m);
      ZMat* fr = new ZMat(m > 0 ? m : 1, kInputs);
      std::vector<float> orow;
      if (m > 0) {
        for (int i = 0; i < m; ++i) std::memcpy(fr->row[i], feats->row[i], sizeof(float) * kInputs);
        ZMat* out = nullptr;
        int k = 0;
        net.GetOutPut(feats, m, out, k);
        for (int i = 0; i < k; ++i) orow.insert(orow.end(), out->row[i], out->row[i] + kOutputs);
      }
      r.feats.push_back(fr);
      r.outs.push_back(orow);
      r.count.push_back(m);
    }
    return r;
  }();
  return rows;
}

// The whole engine, per channel count.
void BM_VtProcess(benchmark::State& state) {
  Engine& e = GetEngine();
  if (!e.ok) {
    state.SkipWithError("the benchmark model could not be set up");
    return;
  }
  const int C = static_cast<int>(state.range(0));
  const int64_t h = w6_vt_create(C);
  w6_vt_setwords(h, e.words.data(), static_cast<int>(e.words.size()));
  std::vector<const float*> ch(C);
  int at = 0;
  long candidates = 0;
  auto feed = [&] {
    for (int c = 0; c < C; ++c) ch[c] = e.audio[c].data() + at * kBlock;
    at = (at + 1) % kAudioBlocks;
    if (w6_vt_process(h, ch.data(), kBlock, 0) & W6_VT_PRE) ++candidates;
  };
  // One second to fill the feature lookahead and build the detectors.
  for (int b = 0; b < 9; ++b) feed();
  for (auto _ : state)
    for (int b = 0; b < kBlocks; ++b) feed();
  w6_vt_free(h);
  SetRtf(state, kSeconds);
  state.counters["candidates"] = static_cast<double>(candidates);
}
BENCHMARK(BM_VtProcess)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// The same calls as BM_VtProcess, made step by step on an engine instance
// with a clock around each stage, so that the stages' shares of one run's
// time are read off together (the machine is shared and noisy: separate
// runs do not compare well). The steps are those of a process call:
// features and filters, the batched network, the two rings, the detectors.
void BM_VtStageShares(benchmark::State& state) {
  Engine& e = GetEngine();
  if (!e.ok) {
    state.SkipWithError("the benchmark model could not be set up");
    return;
  }
  using Clock = std::chrono::steady_clock;
  const int C = static_cast<int>(state.range(0));
  ZVtMem mem(e.sto(), C);
  mem.SetWords(e.words.data(), static_cast<int>(e.words.size()));
  std::vector<const float*> ch(C);
  int at = 0;
  double t[4] = {0, 0, 0, 0};  // features, network, rings, detectors
  auto feed = [&] {
    for (int c = 0; c < C; ++c) ch[c] = e.audio[c].data() + at * kBlock;
    at = (at + 1) % kAudioBlocks;
    mem.CheckWordsChanged();
    const Clock::time_point t0 = Clock::now();
    ZMat* out = nullptr;
    int m = 0;
    mem.pFea->ContinueFb(ch.data(), kBlock, out, m);
    for (ZFilter* f : mem.vecFilter)
      if (m > 0) f->FilterFea(out, m, out, m);
    const Clock::time_point t1 = Clock::now();
    if (m > 0) mem.pNnetMem->GetOutPut(out, m, out, m);
    const Clock::time_point t2 = Clock::now();
    mem.pAudBuff->PutBuff(ch[0], kBlock);
    if (m > 0) mem.pOutBuff->PutBuff(out->row, m);
    const Clock::time_point t3 = Clock::now();
    for (int i = 0; i < mem.nDetNum; ++i) {
      if (mem.ppDet[i]->IsNeedReset()) mem.ppDet[i]->Reset();
      benchmark::DoNotOptimize(mem.ppDet[i]->ProcessScore(m, mem.pOutBuff, mem.pAudBuff, 0));
    }
    const Clock::time_point t4 = Clock::now();
    t[0] += std::chrono::duration<double>(t1 - t0).count();
    t[1] += std::chrono::duration<double>(t2 - t1).count();
    t[2] += std::chrono::duration<double>(t3 - t2).count();
    t[3] += std::chrono::duration<double>(t4 - t3).count();
  };
  for (int b = 0; b < 9; ++b) feed();
  for (double& x : t) x = 0.0;
  for (auto _ : state)
    for (int b = 0; b < kBlocks; ++b) feed();
  const double total = t[0] + t[1] + t[2] + t[3];
  SetRtf(state, kSeconds);
  if (total > 0.0) {
    state.counters["features"] = t[0] / total;
    state.counters["network"] = t[1] / total;
    state.counters["rings"] = t[2] / total;
    state.counters["detectors"] = t[3] / total;
  }
}
BENCHMARK(BM_VtStageShares)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// Filter bank and the four filters.
void BM_VtFeatures(benchmark::State& state) {
  Engine& e = GetEngine();
  const int C = static_cast<int>(state.range(0));
  Features f(C);
  std::vector<const float*> ch(C);
  int at = 0;
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      for (int c = 0; c < C; ++c) ch[c] = e.audio[c].data() + at * kBlock;
      at = (at + 1) % kAudioBlocks;
      int m = 0;
      ZMat* out = f.Run(ch.data(), kBlock, m);
      benchmark::DoNotOptimize(out);
    }
  }
  SetRtf(state, kSeconds);
}
BENCHMARK(BM_VtFeatures)->Arg(1)->Arg(4)->Unit(benchmark::kMillisecond);

// The batched network (four evaluations of every 12 rows) on the rows the
// feature chain delivers.
void BM_VtNetwork(benchmark::State& state) {
  Engine& e = GetEngine();
  if (!e.ok) {
    state.SkipWithError("the benchmark model could not be set up");
    return;
  }
  const Rows& r = GetRows();
  Nnet_Memory_Batch net(e.sto()->pNnet, 4, 3);
  // Only blocks in the steady state (12 rows) are replayed.
  std::vector<int> steady;
  for (int b = 0; b < kAudioBlocks; ++b)
    if (r.count[b] == 12) steady.push_back(b);
  size_t at = 0;
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      const int blk = steady[at];
      at = (at + 1) % steady.size();
      ZMat* out = nullptr;
      int k = 0;
      net.GetOutPut(r.feats[blk], 12, out, k);
      benchmark::DoNotOptimize(out->row[0][0]);
    }
  }
  SetRtf(state, kSeconds);
}
BENCHMARK(BM_VtNetwork)->Unit(benchmark::kMillisecond);

// The two detectors, listening, on the network's rows of the noise.
void BM_VtDetectors(benchmark::State& state) {
  Engine& e = GetEngine();
  if (!e.ok) {
    state.SkipWithError("the benchmark model could not be set up");
    return;
  }
  const Rows& r = GetRows();
  std::vector<ZVtWord*> words = e.sto()->ParseWordTriPhoLst(e.words.data(), static_cast<int>(e.words.size()));
  if (words.size() != e.words.size()) {
    state.SkipWithError("the benchmark words could not be built");
    return;
  }
  std::vector<ZVtDet*> dets;
  for (ZVtWord* w : words) dets.push_back(new ZVtDet(w, 160, 16));
  ZMatBuff outBuff(1000, kOutputs);
  ZVecBuff audBuff(10 * kRate);
  std::vector<float*> rowPtr(12);
  int at = 0;
  long states = 0;
  for (ZVtWord* w : words) states += w->nStateNum;
  for (auto _ : state) {
    for (int b = 0; b < kBlocks; ++b) {
      const int m = r.count[at];
      const float* src = r.outs[at].data();
      at = (at + 1) % kAudioBlocks;
      state.PauseTiming();
      for (int i = 0; i < m; ++i) rowPtr[i] = const_cast<float*>(src) + i * kOutputs;
      if (m > 0) outBuff.PutBuff(rowPtr.data(), m);
      state.ResumeTiming();
      for (ZVtDet* d : dets) {
        if (d->IsNeedReset()) d->Reset();
        benchmark::DoNotOptimize(d->ProcessScore(m, &outBuff, &audBuff, 0));
      }
    }
  }
  for (ZVtDet* d : dets) delete d;
  for (ZVtWord* w : words) delete w;
  SetRtf(state, kSeconds);
  state.counters["states"] = static_cast<double>(states);
}
BENCHMARK(BM_VtDetectors)->Unit(benchmark::kMillisecond);

}  // namespace

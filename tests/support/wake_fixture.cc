#include "tests/support/wake_fixture.h"

#include <cmath>
#include <cstring>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/feature/fbank.h"
#include "engine/feature/filter.h"
#include "tests/support/pho_builder.h"

namespace testing_support {

using namespace __kestrel4__;

namespace {

constexpr int kBand[3] = {3, 9, 15};  // low-bank filters of lo, mid, hi
constexpr int kCentre = 5 * 87;       // the centre frame of the 11 spliced ones
constexpr float kMargin = 10.0f;      // log-energy lead over the other bands for z = 0
constexpr float kToneLogPrior = -4.0f;

float MelToHz(float mel) { return 700.0f * (std::exp(mel / 1127.0f) - 1.0f); }

}  // namespace

float ToneWord::ToneHz(int p) {
  // The low bank has 22 filters on 24 mel points from 125 Hz to 3800 Hz;
  // filter b peaks at point b + 1.
  const float lo = z_mel(125.0f), hi = z_mel(3800.0f);
  return MelToHz(lo + (kBand[p] + 1) * (hi - lo) / 23.0f);
}

bool ToneWord::WriteModel(const std::string& path) {
  // The normalisation filter's statistics turn the network's inputs back
  // into log energies: x = y * std + mean.
  ZFilter_Norm norm(-4, 7, 87, 87);
  const int in = 957;
  ZMat W(kOutputs, in);
  ZVec b(kOutputs);
  for (int p = 0; p < 3; ++p) {
    // z = x[band p] - (x[other two]) / 2 - margin, on the centre frame.
    float bias = -kMargin;
    for (int q = 0; q < 3; ++q) {
      const float c = q == p ? 1.0f : -0.5f;
      const int j = kBand[q];
      W.row[p + 1][kCentre + j] = c * norm.pStd[j];
      bias += c * norm.pMean[j];
    }
    b.data[p + 1] = bias;
  }

  {
    ZFileOutput out(path.c_str(), 0);
    if (!out.isValid()) return false;
    int outputs = kOutputs, inputs = in;
    float coef = 1.0f;
    out.WriteToken("<Nnet>");
    out.WriteToken("<AffineTransform>");
    out.WriteBasicType(&outputs);
    out.WriteBasicType(&inputs);
    for (const char* t : {"<LearnRateCoef>", "<BiasLearnRateCoef>", "<MaxNorm>"}) {
      out.WriteToken(t);
      out.WriteBasicType(&coef);
    }
    W.Write(&out);
    b.Write(&out);
    out.WriteToken("<!EndOfComponent>");
    out.WriteToken("<Softmax>");
    out.WriteBasicType(&outputs);
    out.WriteBasicType(&outputs);
    out.WriteToken("<!EndOfComponent>");
    out.WriteToken("</Nnet>");
  }
  ZFileOutput prior((path + ".prior").c_str(), 0);
  if (!prior.isValid()) return false;
  ZVec logPrior(kOutputs);
  logPrior.data[0] = std::log(1.0f - 3.0f * std::exp(kToneLogPrior));
  for (int p = 1; p < kOutputs; ++p) logPrior.data[p] = kToneLogPrior;
  logPrior.Write(&prior);
  return true;
}

bool ToneWord::WritePhoneTable(const std::string& path) {
  PhoTableBuilder table({"sil", "lo", "mid", "hi"});
  // All three states of a phone read its one output (ids count from 1).
  for (int p = 0; p < 4; ++p) table.Tri("*", table.phones[p], "*", table.Model(p + 1, p + 1, p + 1));
  return table.Write(path);
}

WordInfo ToneWord::Word() {
  WordInfo w;
  std::memset(&w, 0, sizeof(w));
  w.WordType = 1;
  std::strcpy(w.WordContent, "tones");
  std::strcpy(w.WordContent_Phone, "lo|# mid|# hi|#");
  w.BlockAvgScore = 3.0f;
  w.BlockMinScore = -1.0f;
  w.ClassifyNnetShield = -0.3f;
  return w;
}

Scene::Scene(unsigned seed) : state_(seed * 2654435761ULL + 1) {}

float Scene::Gauss() {
  // A small self-contained generator: the engine's own generator (dither)
  // must not be disturbed by the synthesis.
  auto uniform = [this] {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return ((state_ >> 11) + 0.5) / 9007199254740992.0;
  };
  double u1 = uniform(), u2 = uniform();
  return static_cast<float>(std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2));
}

Scene& Scene::Noise(double seconds, float sd) {
  const int n = static_cast<int>(seconds * ToneWord::kRate);
  for (int i = 0; i < n; ++i) samples.push_back(sd * Gauss());
  return *this;
}

Scene& Scene::Quiet(double seconds) { return Noise(seconds, ToneWord::kQuietSd); }

Scene& Scene::Tones(const std::vector<int>& order) {
  wordStart = static_cast<int>(samples.size());
  const int N = ToneWord::kToneSamples;
  for (size_t k = 0; k < order.size(); ++k) {
    const double f = ToneWord::ToneHz(order[k]);
    for (int i = 0; i < N; ++i) {
      double shape = 1.0;
      if (k == 0) shape = 1.25 - 0.5 * i / N;
      if (k + 1 == order.size()) shape = 0.75 + 0.5 * i / N;
      double s = ToneWord::kToneLevel * shape * std::sin(2.0 * M_PI * f * i / ToneWord::kRate);
      samples.push_back(static_cast<float>(s) + ToneWord::kQuietSd * Gauss());
    }
  }
  wordEnd = static_cast<int>(samples.size());
  return *this;
}

bool WriteWav16(const std::string& path, const std::vector<float>& samples, int rate) {
  w6_aud_data* rec = w6_aud_malloc(1, rate, static_cast<int>(samples.size()));
  if (rec == nullptr) return false;
  for (size_t i = 0; i < samples.size(); ++i) rec->data[0][i] = std::round(samples[i]);
  const bool ok = w6_aud_out(path.c_str(), rec) == 0;
  w6_aud_free(rec);
  return ok;
}

}  // namespace testing_support

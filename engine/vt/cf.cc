#include "engine/vt/cf.h"

#include <cmath>
#include <cstdint>

#include "engine/core/log.h"
#include "engine/core/util.h"
#include "include/kestrel.h"

namespace __kestrel4__ {

namespace {

// Mean and variance of the 40 log mel energies over the training data,
// dimension 0 first. Only the variances are used: they scale segments when
// the network does not normalise by the segment's own variance.
const float kGlobalMeanVar[2][ZCfMem2::kFeaDim] = {
    {13.7421436f, 15.0453911f, 15.9204512f, 16.7998886f, 17.4285927f, 17.6744175f, 17.6159649f, 17.5254097f,
     17.1446419f, 16.7877274f, 16.2332592f, 15.9262819f, 15.7469435f, 15.6904697f, 15.7652569f, 16.201992f,
     16.6780529f, 17.0173016f, 17.2286701f, 17.3532562f, 17.5416565f, 18.0207539f, 18.6952934f, 19.0303555f,
     18.9684696f, 18.5608673f, 18.2106113f, 18.5905991f, 19.075655f,  18.8323231f, 18.0359821f, 17.6346264f,
     17.6067657f, 17.5186272f, 17.6005516f, 17.6876831f, 17.5054874f, 17.068861f,  16.3985405f, 15.887516f},
    {2.65671206f, 3.14150977f, 3.36883879f, 3.39367938f, 3.47523165f, 3.54188371f, 3.63299561f, 3.69491363f,
     3.67458868f, 3.58707571f, 3.45600224f, 3.32807708f, 3.260952f,   3.25619245f, 3.32132459f, 3.39919639f,
     3.40247869f, 3.38080907f, 3.3519733f,  3.30748081f, 3.27274752f, 3.37438798f, 3.45509839f, 3.5287075f,
     3.67047501f, 3.73514533f, 3.6819551f,  3.70990515f, 3.77309132f, 3.79993057f, 3.72719908f, 3.56731296f,
     3.48861313f, 3.42850518f, 3.49966288f, 3.56411386f, 3.55384302f, 3.49151802f, 3.40444756f, 3.45433617f}};

}  // namespace

ZCfMem2::ZCfMem2(const char* modelPath) : fea(nullptr), nnet(nullptr), total(nullptr) {
  fea = new ZFea1(16000, kFeaDim);
  globalMean = new ZVec(kFeaDim);
  globalVar = new ZVec(kFeaDim);
  shift = new ZVec(kFeaDim);
  scale = new ZVec(kFeaDim);
  for (int j = 0; j < kFeaDim; ++j) {
    globalMean->data[j] = kGlobalMeanVar[0][j];
    globalVar->data[j] = kGlobalMeanVar[1][j];
  }
  nnet = new Nnet(modelPath, false);
  if (!nnet->IsValid()) {
    z_log(kLogError, "w6_cf_create: model %s cannot be used", modelPath);
  } else if (nnet->inDim != kFeaDim || nnet->outDim < 2) {
    z_log(kLogError, "w6_cf_create: model %s takes %d inputs and gives %d outputs (needs %d inputs, 2 outputs or more)",
          modelPath, nnet->inDim, nnet->outDim, kFeaDim);
  } else {
    total = new Nnet_Memory_Total(nnet);
  }
}

ZCfMem2::~ZCfMem2() {
  delete total;
  delete nnet;
  delete fea;
  delete globalMean;
  delete globalVar;
  delete shift;
  delete scale;
}

int ZCfMem2::DoCmvn(ZMat* feats) {
  const int T = feats->rows;
  const bool own = !nnet->components.empty() && nnet->components[0]->name == "<BLstmProjectedStreams>";
  for (int j = 0; j < kFeaDim; ++j) {
    float s = 0.0f, s2 = 0.0f;
    for (int t = 0; t < T; ++t) {
      float x = feats->row[t][j];
      s += x;
      s2 += x * x;
    }
    float m = s / T;
    shift->data[j] = -m;
    // v + 1e-5 is added in double and rounded to float before the root.
    if (own) {
      float v = s2 / T - m * m;
      scale->data[j] = 1.0f / sqrtf(static_cast<float>(static_cast<double>(v) + 1e-5));
    } else {
      scale->data[j] = 1.0f / sqrtf(static_cast<float>(static_cast<double>(globalVar->data[j]) + 1e-5));
    }
  }
  for (int t = 0; t < T; ++t)
    for (int j = 0; j < kFeaDim; ++j) feats->row[t][j] = (feats->row[t][j] + shift->data[j]) * scale->data[j];
  return 0;
}

int ZCfMem2::Evaluate(const float* samples, int count, ZMat*& out) {
  ZMat* feats = nullptr;
  fea->ExtractFBank(samples, count, feats);
  const int T = feats->rows;
  if (T < kMinFrames) return 0;
  DoCmvn(feats);
  int rows = 0;
  total->GetOutPut(feats, T, out, rows);
  return rows;
}

float ZCfMem2::check_buff(const float* samples, int count) {
  if (total == nullptr) return kTooShort;
  ZMat* out = nullptr;
  const int T = Evaluate(samples, count, out);
  if (T == 0) return kTooShort;
  float s0 = 0.0f, s1 = 0.0f;
  for (int t = 0; t < T; ++t) {
    s0 += out->row[t][0];
    s1 += out->row[t][1];
  }
  const float a0 = s0 / T, a1 = s1 / T;
  const float d = z_log_add(a0, a1);
  z_log(kLogInfo, "--------------cf score: %f %f", a0 - d, a1 - d);
  return a1 - d;
}

float ZCfMem2::check_file(const char* path) {
  w6_aud_data* audio = w6_aud_in(path, 16000);
  if (audio == nullptr) {
    z_log(kLogError, "w6_cf_check_file: %s cannot be read", path);
    return kTooShort;
  }
  float score = kTooShort;
  if (audio->channels > 0 && audio->samples > 0) score = check_buff(audio->data[0], audio->samples);
  w6_aud_free(audio);
  return score;
}

int ZCfMem2::get_score(const float* samples, int count, float* sums, int sumCount) {
  if (total == nullptr) return static_cast<int>(kTooShort);
  ZMat* out = nullptr;
  const int T = Evaluate(samples, count, out);
  if (T == 0) return static_cast<int>(kTooShort);
  for (int j = 0; j < sumCount; ++j) sums[j] = 0.0f;
  const int cols = sumCount < nnet->outDim ? sumCount : nnet->outDim;
  for (int j = 0; j < cols; ++j)
    for (int t = 0; t < T; ++t) sums[j] += out->row[t][j];
  return 0;
}

}  // namespace __kestrel4__

using __kestrel4__::ZCfMem2;

namespace {
ZCfMem2* Cf(int64_t h) { return reinterpret_cast<ZCfMem2*>(static_cast<intptr_t>(h)); }
}  // namespace

extern "C" {

KESTREL_API int w6_cf_sysinit(void) { return __kestrel4__::z_tables_acquire(__kestrel4__::kTablesCf); }

KESTREL_API int w6_cf_sysexit(void) { return __kestrel4__::z_tables_release(__kestrel4__::kTablesCf); }

KESTREL_API int64_t w6_cf_create(const char* model_path) {
  ZCfMem2* cf = new ZCfMem2(model_path ? model_path : "");
  if (!cf->IsValid()) {
    delete cf;
    return 0;
  }
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(cf));
}

KESTREL_API int w6_cf_free(int64_t handle) {
  delete Cf(handle);
  return 0;
}

KESTREL_API float w6_cf_check_buff(int64_t handle, const float* samples, int count) {
  if (handle == 0) return ZCfMem2::kTooShort;
  return Cf(handle)->check_buff(samples, count);
}

KESTREL_API float w6_cf_check_file(int64_t handle, const char* path) {
  if (handle == 0) return ZCfMem2::kTooShort;
  return Cf(handle)->check_file(path);
}

KESTREL_API int w6_cf_get_score(int64_t handle, const float* samples, int count, float* sums, int sum_count) {
  if (handle == 0) return static_cast<int>(ZCfMem2::kTooShort);
  return Cf(handle)->get_score(samples, count, sums, sum_count);
}

}  // extern "C"

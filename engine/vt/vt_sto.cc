#include "engine/vt/vt_sto.h"

#include "engine/core/io.h"
#include "engine/core/log.h"

namespace __kestrel4__ {

int ReadPriorFile(const char* path, float* dst, int n) {
  ZFileInput in(path, 0);
  if (!in.isValid()) {
    z_log(kLogInfo, "prior file %s cannot be opened: no prior correction", path);
    return 0;
  }
  // Skip the file marker if the vector was written by a headed file stream.
  char marker[2] = {1, 1};
  in.ReadRawData(marker, 2);
  if (!(marker[0] == 0x00 && marker[1] == 0x42)) std::fseek(in.file, 0, SEEK_SET);
  std::string token = in.ReadToken();
  int count = 0;
  in.ReadBasicType(&count);
  if (token != "FV" || count < 0) {
    z_log(kLogInfo, "prior file %s is not a float vector: no prior correction", path);
    return 0;
  }
  long avail = in.Remaining() / 4;
  int take = count < n ? count : n;
  if (take > avail) take = static_cast<int>(avail);
  in.ReadArray(dst, take);
  if (take < n) {
    z_log(kLogInfo, "prior file %s holds %d of %d values: the rest count as 0", path, take, n);
  }
  return take;
}

ZVtSto::ZVtSto(const char* modelPath, const char* phoPath)
    : nSampleRate(16000), nBlockFrm(4), nFrmShift(160), nDelayFrm(16), pNnet(nullptr), strPhoPath(phoPath) {
  // The feature chain delivers 11 spliced frames of 29 filter-bank values
  // with their deltas: the model must take exactly that row.
  const int featureDim = 33 * 29;
  Nnet* net = new Nnet(modelPath, false);
  if (!net->IsValid() || net->outDim <= 0) {
    z_log(kLogError, "w6_vt_sysinit: model %s is not usable: no instance can be created", modelPath);
    delete net;
  } else if (net->inDim != featureDim) {
    z_log(kLogError, "w6_vt_sysinit: model %s takes %d inputs, the features give %d: no instance can be created",
          modelPath, net->inDim, featureDim);
    delete net;
  } else {
    pNnet = net;
    LoadPriors(std::string(modelPath) + ".prior");
    z_log(kLogInfo, "w6_vt_sysinit: model %s (%d inputs, %d outputs), phone table %s", modelPath, pNnet->inDim,
          pNnet->outDim, phoPath);
  }
  // The detectors' classifiers use the shared tables, which w6_vt_sysinit
  // holds for the engine from before the store is built until after it is
  // gone. The store does not take the classifier family's own hold: its
  // release would pull the tables from under classifiers that an
  // application created and set up itself with w6_cf_sysinit.
}

void ZVtSto::LoadPriors(const std::string& path) {
  ZVec priors(pNnet->outDim);
  ReadPriorFile(path.c_str(), priors.data, pNnet->outDim);
  pNnet->SetPrior(priors.data);
}

ZVtSto::~ZVtSto() { delete pNnet; }

}  // namespace __kestrel4__

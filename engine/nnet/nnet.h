// The loaded neural network: an ordered list of layers plus the output-side
// corrections (log-prior subtraction, optional score normalisation). Loaded
// once per process and read-only afterwards; per-instance evaluation state
// lives in the memory objects (nnet_memory.h).
//
// Model files come from outside: the loaders check every size and count
// against the file, reject a bad model with one log line naming the file and
// the reason, and leave an empty network behind (IsValid() false).
#ifndef KESTREL_NNET_NNET_H
#define KESTREL_NNET_NNET_H

#include <string>
#include <vector>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/nnet/component.h"

namespace __kestrel4__ {

class Nnet {
 public:
  // An empty network, to be built with AddComponent.
  Nnet();
  // Loads path in the component format, or the legacy format when `legacy`.
  Nnet(const char* path, bool legacy);
  ~Nnet();
  Nnet(const Nnet&) = delete;
  Nnet& operator=(const Nnet&) = delete;

  // Each returns 0 on success; on failure the network is left empty and one
  // line is logged.
  int LoadNewVersion(const char* path);
  int LoadOldVersion(const char* path);
  // The component-format grammar on a stream (appending to the list).
  int Read(ZInput* in);
  // The component format, on a stream or into a file (type 0, with the file
  // marker). Returns 0, or 1 when the file cannot be written.
  int Write(ZOutput* out) const;
  int Write(const char* path) const;

  // Copies outDim log-priors, negated, into `prior` and sets usePrior.
  int SetPrior(const float* p);
  // Score-normalisation file: "FV", count, outDim means; "FV", count, outDim
  // standard deviations. Returns 0, or 1 (logged) when it cannot be used.
  int LoadSn(const char* path);
  // Output corrections in place, on every row of m or on v.
  int ProcessPrior_Mat(ZMat* m) const;
  int ProcessPrior_Vec(ZVec* v) const;

  // Appends a layer built in code; the network owns it from here on. Returns
  // 1 (and drops the layer) when its input width differs from the current
  // output width.
  int AddComponent(Nnet_Component* c);

  // True when the network holds at least one layer and its widths chain.
  bool IsValid() const { return valid; }
  // False when some layer has no one-frame form (recurrent layers).
  bool HasFrameForm() const;

  std::vector<Nnet_Component*> components;
  int inDim;
  int outDim;
  bool usePrior;
  ZVec* prior;  // negated log-priors (what is added)
  bool useScoreNorm;
  ZVec* normShift;  // negated means
  ZVec* normScale;  // reciprocal standard deviations
  bool valid;
  // Why the last load failed (the reason of its log line); empty after a
  // successful load.
  std::string loadError;

 private:
  void Clear();
  // Checks the chain of widths and sets inDim, outDim and the prior vector.
  bool Finish(std::string* why);
  // Logs the rejection (naming `path` when there is one), empties the
  // network and keeps the reason. Returns 1.
  int Reject(const char* path, const std::string& why);
};

// Builds the layer named by a component token, or null for an unknown one.
// "<None>" builds the same layer as "<BLSTM>".
Nnet_Component* NnetNewComponent(const std::string& token, int inDim, int outDim);

}  // namespace __kestrel4__

#endif

// The wake-word engine's process-wide store: the acoustic network with its
// log-priors, the phone-table path and the framing constants every instance
// shares. Written only by w6_vt_sysinit / w6_vt_sysexit.
#ifndef KESTREL_VT_VT_STO_H
#define KESTREL_VT_VT_STO_H

#include <string>
#include <vector>

#include "engine/nnet/nnet.h"
#include "include/kestrel.h"

namespace __kestrel4__ {

class ZVtWord;

class ZVtSto {
 public:
  ZVtSto(const char* modelPath, const char* phoPath);
  ~ZVtSto();
  ZVtSto(const ZVtSto&) = delete;
  ZVtSto& operator=(const ZVtSto&) = delete;

  // True when the model loaded into a usable network.
  bool HasNnet() const { return pNnet != nullptr; }

  // Builds one word object per record from the phone table at strPhoPath,
  // loaded anew for every list (caller owns the objects). A table that cannot
  // be used, or a word whose graph could not be scored, is logged and left
  // out: fewer objects than records means the list is refused. The settings
  // of every word of a complete list are logged.
  std::vector<ZVtWord*> ParseWordTriPhoLst(const WordInfo* records, int n);
  // Logs one word's settings, phoneList being its record's phone list.
  void PrintWordInfo(ZVtWord* word, const char* phoneList);

  int nSampleRate;
  int nBlockFrm;
  int nFrmShift;
  int nDelayFrm;
  Nnet* pNnet;  // null when the model could not be used
  std::string strPhoPath;

 private:
  void LoadPriors(const std::string& path);
};

// Reads the log-priors that ship with an acoustic model: one headed float
// vector ("FV", count, floats) in the token format. Values the file does not
// hold are left at 0 (no correction); a missing or short file is logged.
// Returns the number of values read.
int ReadPriorFile(const char* path, float* dst, int n);

}  // namespace __kestrel4__

#endif

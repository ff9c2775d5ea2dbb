#include "engine/vt/word.h"

#include "engine/core/log.h"
#include "engine/vt/vt_sto.h"

namespace __kestrel4__ {

ZVtWord::ZVtWord(const WordInfo& info) : stInfo(info) {}

std::vector<ZVtWord*> ZVtSto::ParseWordTriPhoLst(const WordInfo* records, int n) {
  std::vector<ZVtWord*> words;
  for (int i = 0; i < n; ++i) {
    ZVtWord* w = new ZVtWord(records[i]);
    PrintWordInfo(w, records[i].WordContent_Phone);
    words.push_back(w);
  }
  return words;
}

void ZVtSto::PrintWordInfo(ZVtWord* word, const char* phoneList) {
  z_log(kLogInfo, "word %s type %d phones %s", word->stInfo.WordContent, word->stInfo.WordType, phoneList);
}

}  // namespace __kestrel4__

// A configured wake word: its thresholds and checks and its state graph over
// the network outputs. (Interim form: keeps the record's settings only,
// until the phone table and the state graph land.)
#ifndef KESTREL_VT_WORD_H
#define KESTREL_VT_WORD_H

#include "include/kestrel.h"

namespace __kestrel4__ {

class ZVtWord {
 public:
  explicit ZVtWord(const WordInfo& info);

  WordInfo stInfo;  // the record the word was built from
};

}  // namespace __kestrel4__

#endif

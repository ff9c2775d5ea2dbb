// A configured wake word: its thresholds and checks, and its state graph over
// the network outputs. Every phone position becomes three states in a
// left-to-right chain (each state loops on itself and is entered from the one
// before it); alternatives of a position share the chain, so a state accepts
// any of their ids. The detector walks this graph frame by frame.
#ifndef KESTREL_VT_WORD_H
#define KESTREL_VT_WORD_H

#include <string>
#include <vector>

#include "engine/vt/pho_table.h"
#include "include/kestrel.h"

namespace __kestrel4__ {

// One state of a word's graph.
class ZPhoState {
 public:
  ZPhoState();
  ~ZPhoState();
  ZPhoState(const ZPhoState&) = delete;
  ZPhoState& operator=(const ZPhoState&) = delete;

  int nFlag;   // 1 word start, 4 block start (first state of a position); 2 word end, 8 block end (last)
  int nId;     // number of network output ids
  int* pId;    // distinct ids, numbered from 1 (id k scores network output k - 1)
  int nPrev;   // number of predecessor states
  int* pPrev;  // predecessor state indices; entry 0 is the state itself
  int nBatch;  // phone position
  int nSub;    // 0, 1 or 2 within the position
};

class ZVtWord {
 public:
  // Longest phone list a detector can place: it walks a word's path back
  // through its 400 frames of score history, and every state of the chain
  // lasts at least one frame, so 133 positions (399 states) is the most
  // that fits. The detector's score ring (400 frames of states x 30 cells)
  // grows with the list, so a longer one is refused rather than built.
  static constexpr int kMaxPositions = 133;

  ZVtWord();
  ~ZVtWord();
  ZVtWord(const ZVtWord&) = delete;
  ZVtWord& operator=(const ZVtWord&) = delete;

  // Takes over the phone positions (the word releases them) and builds the
  // state graph. Returns 0.
  int SetPhoBatchLst(const std::vector<ZPhoBatch*>& batches);
  // Converts one record: the fixed settings, the record's thresholds and
  // checks, and the graph of its phone list parsed against `table` (explicit
  // triphones when the list holds a '+', plain phones otherwise, any right
  // context unless the word is of type 2). The record's texts are read only
  // up to their array sizes.
  void SetFromRecord(const WordInfo& record, ZPhoTable& table);
  // Empty when the detector can score the graph; otherwise why it cannot: a
  // word without positions or with more than kMaxPositions, a position with
  // no state id (no triphone of the table covers it), or a word without any
  // block marker "#" (no block ever starts, so the word could never be
  // detected).
  std::string CheckScorable() const;
  // True (logged) when the word reports cmd unconditionally in the given
  // echo condition.
  bool CheckNoCmdChange(bool aec);
  // Debugging print of the settings to the log.
  void PrintWordInfo();

  int WordType;
  std::string WordContent;
  int BlockMinFrmLen;
  int BlockMaxFrmLen;
  float BlockAvgScore;
  float BlockMinScore;
  bool LeftSilCheck;
  int LeftSilOffset;
  int LeftSilSkip;
  float LeftSilShield;
  bool RightSilCheck;
  int RightSilOffset;
  int RightSilSkip;
  float RightSilShield;
  bool ClassifyCheck;
  float ClassifyNnetShield;
  std::string ClassifyNnetPath;
  bool CmdChangeAec;
  bool CmdChangeNoAec;
  int nBlockNum;   // states that close a block
  int nStateNum;   // 3 per position
  ZPhoState** ppState;
  std::vector<ZPhoBatch*> vecPhoBatch;

 private:
  void ReleaseGraph();
};

// The record's phone list as a string, never read past its array.
std::string z_word_phone_list(const WordInfo& record);

}  // namespace __kestrel4__

#endif

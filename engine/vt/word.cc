#include "engine/vt/word.h"

#include <cstring>

#include "engine/core/log.h"
#include "engine/core/util.h"
#include "engine/vt/vt_sto.h"

namespace __kestrel4__ {

namespace {

std::string BoundedString(const char* text, size_t cap) { return std::string(text, strnlen(text, cap)); }

}  // namespace

std::string z_word_phone_list(const WordInfo& record) {
  return BoundedString(record.WordContent_Phone, sizeof(record.WordContent_Phone));
}

ZPhoState::ZPhoState() : nFlag(0), nId(0), pId(nullptr), nPrev(0), pPrev(nullptr), nBatch(0), nSub(0) {}

ZPhoState::~ZPhoState() {
  delete[] pId;
  delete[] pPrev;
}

ZVtWord::ZVtWord()
    : WordType(4),
      BlockMinFrmLen(3),
      BlockMaxFrmLen(30),
      BlockAvgScore(3.0f),
      BlockMinScore(-1.0f),
      LeftSilCheck(false),
      LeftSilOffset(0),
      LeftSilSkip(0),
      LeftSilShield(0.0f),
      RightSilCheck(false),
      RightSilOffset(0),
      RightSilSkip(0),
      RightSilShield(0.0f),
      ClassifyCheck(false),
      ClassifyNnetShield(0.0f),
      CmdChangeAec(false),
      CmdChangeNoAec(false),
      nBlockNum(0),
      nStateNum(0),
      ppState(nullptr) {}

ZVtWord::~ZVtWord() { ReleaseGraph(); }

void ZVtWord::ReleaseGraph() {
  for (int s = 0; s < nStateNum; ++s) delete ppState[s];
  delete[] ppState;
  ppState = nullptr;
  nStateNum = 0;
  nBlockNum = 0;
  for (ZPhoBatch* b : vecPhoBatch) delete b;
  vecPhoBatch.clear();
}

int ZVtWord::SetPhoBatchLst(const std::vector<ZPhoBatch*>& batches) {
  ReleaseGraph();
  vecPhoBatch = batches;
  const int positions = static_cast<int>(batches.size());
  nStateNum = 3 * positions;
  ppState = new ZPhoState*[nStateNum > 0 ? nStateNum : 1];
  int prevEnd = -1;  // last state of the previous position
  for (int p = 0; p < positions; ++p) {
    const ZPhoBatch* b = batches[p];
    for (int i = 0; i < 3; ++i) {
      const int s = 3 * p + i;
      ZPhoState* st = new ZPhoState();
      st->nBatch = p;
      st->nSub = i;
      // The i-th id of every alternative, first occurrence of each value.
      st->pId = new int[b->nNum > 0 ? b->nNum : 1];
      for (int a = 0; a < b->nNum; ++a) {
        const int id = b->pId[3 * a + i];
        bool seen = false;
        for (int j = 0; j < st->nId && !seen; ++j) seen = st->pId[j] == id;
        if (!seen) st->pId[st->nId++] = id;
      }
      if (i == 0) st->nFlag = b->nFlag & (ZPhoBatch::kWordStart | ZPhoBatch::kBlockStart);
      if (i == 2) st->nFlag = b->nFlag & (ZPhoBatch::kWordEnd | ZPhoBatch::kBlockEnd);
      st->pPrev = new int[2];
      st->pPrev[0] = s;
      st->nPrev = 1;
      const int from = i == 0 ? prevEnd : s - 1;
      if (from >= 0) st->pPrev[st->nPrev++] = from;
      if (st->nFlag & ZPhoBatch::kBlockEnd) ++nBlockNum;
      ppState[s] = st;
    }
    prevEnd = 3 * p + 2;
  }
  return 0;
}

void ZVtWord::SetFromRecord(const WordInfo& record, ZPhoTable& table) {
  WordType = record.WordType;
  WordContent = BoundedString(record.WordContent, sizeof(record.WordContent));
  // Fixed settings: the record does not carry them.
  BlockMinFrmLen = 3;
  BlockMaxFrmLen = 30;
  LeftSilOffset = 35;
  LeftSilSkip = 10;
  LeftSilShield = 0.3f;
  RightSilOffset = 35;
  RightSilSkip = 10;
  RightSilShield = 0.3f;
  BlockAvgScore = record.BlockAvgScore;
  BlockMinScore = record.BlockMinScore;
  LeftSilCheck = record.LeftSilCheck != 0;
  RightSilCheck = record.RightSilCheck != 0;
  ClassifyCheck = record.ClassifyCheck != 0;
  ClassifyNnetShield = record.ClassifyNnetShield;
  ClassifyNnetPath = BoundedString(record.ClassifyNnetPath, sizeof(record.ClassifyNnetPath));
  CmdChangeAec = record.CmdChangeAec != 0;
  CmdChangeNoAec = record.CmdChangeNoAec != 0;
  const std::string phones = z_word_phone_list(record);
  if (phones.find('+') != std::string::npos)
    SetPhoBatchLst(table.ParseWordTriPhoLst(phones.c_str()));
  else
    SetPhoBatchLst(table.ParseWordMonoPhoLst(phones.c_str(), WordType != 2));
}

std::string ZVtWord::CheckScorable() const {
  if (vecPhoBatch.empty()) return "its phone list holds no phone position";
  if (vecPhoBatch.size() > static_cast<size_t>(kMaxPositions))
    return "its phone list has " + std::to_string(vecPhoBatch.size()) + " positions, more than the " +
           std::to_string(kMaxPositions) + " a detector can place in its 400 frames of history";
  for (size_t p = 0; p < vecPhoBatch.size(); ++p) {
    if (vecPhoBatch[p]->nNum == 0)
      return "phone position " + std::to_string(p + 1) + " has no state id (no triphone of the table covers it)";
  }
  if (nBlockNum == 0) return "its phone list has no block marker \"#\", so it could never be detected";
  return std::string();
}

bool ZVtWord::CheckNoCmdChange(bool aec) {
  const bool change = aec ? CmdChangeAec : CmdChangeNoAec;
  if (change)
    z_log(kLogInfo, aec ? "--------------change to cmd in aec condition" : "--------------change to cmd in no aec condition");
  return change;
}

void ZVtWord::PrintWordInfo() {
  const char* dashes = "------------------------------------------------";
  z_log(kLogInfo, dashes);
  z_log(kLogInfo, "WordType:           %d", WordType);
  z_log(kLogInfo, "BlockMinFrmLen:   %d", BlockMinFrmLen);
  z_log(kLogInfo, "BlockMaxFrmLen:   %d", BlockMaxFrmLen);
  z_log(kLogInfo, "BlockAvgScore:    %f", static_cast<double>(BlockAvgScore));
  z_log(kLogInfo, "BlockMinScore:    %f", static_cast<double>(BlockMinScore));
  z_log(kLogInfo, "LeftSilCheck:     %d", static_cast<int>(LeftSilCheck));
  z_log(kLogInfo, "LeftSilOffset:    %d", LeftSilOffset);
  z_log(kLogInfo, "LeftSilSkip:      %d", LeftSilSkip);
  z_log(kLogInfo, "LeftSilShield:    %f", static_cast<double>(LeftSilShield));
  z_log(kLogInfo, "RightSilCheck:    %d", static_cast<int>(RightSilCheck));
  z_log(kLogInfo, "RightSilOffset:   %d", RightSilOffset);
  z_log(kLogInfo, "RightSilSkip:     %d", RightSilSkip);
  z_log(kLogInfo, "RightSilShield:   %f", static_cast<double>(RightSilShield));
  z_log(kLogInfo, dashes);
}

std::vector<ZVtWord*> ZVtSto::ParseWordTriPhoLst(const WordInfo* records, int n) {
  std::vector<ZVtWord*> words;
  ZPhoTable table;
  // State ids must name outputs of the loaded network: the detector reads
  // them straight out of its output rows.
  const int maxId = pNnet != nullptr ? pNnet->outDim : ZPhoTable::kMaxStateId;
  if (table.LoadNewTable(strPhoPath.c_str(), maxId) != 0) {
    z_log(kLogInfo, "w6_vt_setwords: no word can be built without the phone table %s", strPhoPath.c_str());
    return words;
  }
  for (int i = 0; i < n; ++i) {
    ZVtWord* w = new ZVtWord();
    w->SetFromRecord(records[i], table);
    const std::string why = w->CheckScorable();
    if (!why.empty()) {
      const std::string phones = z_word_phone_list(records[i]);
      z_log(kLogInfo, "w6_vt_setwords: word %d \"%s\" is not built: %s (phones \"%s\")", i, w->WordContent.c_str(),
            why.c_str(), phones.c_str());
      delete w;
      continue;
    }
    words.push_back(w);
  }
  // The settings are logged only for a list that will be used.
  if (static_cast<int>(words.size()) == n) {
    for (int i = 0; i < n; ++i) PrintWordInfo(words[i], z_word_phone_list(records[i]).c_str());
  }
  return words;
}

void ZVtSto::PrintWordInfo(ZVtWord* word, const char* phoneList) {
  z_log(kLogInfo, "WordType:           %d", word->WordType);
  z_log(kLogInfo, "WordContent:        %s", word->WordContent.c_str());
  z_log(kLogInfo, "WordContent_Phone:  %s", phoneList);
  z_log(kLogInfo, "BlockMinFrmLen:     %d", word->BlockMinFrmLen);
  z_log(kLogInfo, "BlockMaxFrmLen:     %d", word->BlockMaxFrmLen);
  z_log(kLogInfo, "BlockAvgScore:      %0.1f", static_cast<double>(word->BlockAvgScore));
  z_log(kLogInfo, "BlockMinScore:      %0.1f", static_cast<double>(word->BlockMinScore));
  z_log(kLogInfo, "LeftSilCheck:       %d", static_cast<int>(word->LeftSilCheck));
  z_log(kLogInfo, "LeftSilOffset:      %d", word->LeftSilOffset);
  z_log(kLogInfo, "LeftSilSkip:        %d", word->LeftSilSkip);
  z_log(kLogInfo, "LeftSilShield:      %0.1f", static_cast<double>(word->LeftSilShield));
  z_log(kLogInfo, "RightSilCheck:      %d", static_cast<int>(word->RightSilCheck));
  z_log(kLogInfo, "RightSilOffset:     %d", word->RightSilOffset);
  z_log(kLogInfo, "RightSilSkip:       %d", word->RightSilSkip);
  z_log(kLogInfo, "RightSilShield:     %0.1f", static_cast<double>(word->RightSilShield));
  z_log(kLogInfo, "ClassifyCheck:      %d", static_cast<int>(word->ClassifyCheck));
  z_log(kLogInfo, "ClassifyNnetShield: %0.1f", static_cast<double>(word->ClassifyNnetShield));
  z_log(kLogInfo, "ClassifyNnetPath:   %s", word->ClassifyNnetPath.c_str());
}

}  // namespace __kestrel4__

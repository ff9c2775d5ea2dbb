// The phone table: the phones of the acoustic model, the tied model of every
// triphone (left context, phone, right context) and the three network-output
// state ids of each tied model. A word's phone list is parsed against it into
// phone positions (ZPhoBatch), from which the word's state graph is built.
// The engine loads the compact binary form each time a word list is set; the
// three-file text form is the older format that tools convert from.
#ifndef KESTREL_VT_PHO_TABLE_H
#define KESTREL_VT_PHO_TABLE_H

#include <map>
#include <string>
#include <vector>

namespace __kestrel4__ {

// One position of a word's pronunciation: the distinct tied models that may
// be spoken there, each as its three state ids.
class ZPhoBatch {
 public:
  // Position flags.
  static constexpr int kWordStart = 1;
  static constexpr int kWordEnd = 2;
  static constexpr int kBlockStart = 4;
  static constexpr int kBlockEnd = 8;

  ZPhoBatch(int flag, int num);  // pId zero-filled, num x 3 ints
  ~ZPhoBatch();
  ZPhoBatch(const ZPhoBatch&) = delete;
  ZPhoBatch& operator=(const ZPhoBatch&) = delete;

  int nFlag;
  int nNum;  // alternatives; 0 when no triphone of the table covers the position
  int* pId;  // nNum x 3 state ids, alternative by alternative
};

class ZPhoTable {
 public:
  // Longest phone name the binary form can hold.
  static constexpr int kMaxNameLen = 100;
  // Largest phone count accepted: the dense triphone map has N^3 entries and
  // 645^3 is the last cube below 2^28 (a 1 GiB map), far beyond any phone set
  // of a deployed model, and safely inside the file's 32-bit count.
  static constexpr int kMaxPhoNum = 645;
  // Highest state id accepted when the caller knows no network to check
  // against: no acoustic model of this engine has a million outputs.
  static constexpr int kMaxStateId = 1 << 20;

  ZPhoTable();
  ~ZPhoTable();
  ZPhoTable(const ZPhoTable&) = delete;
  ZPhoTable& operator=(const ZPhoTable&) = delete;

  // Reads the binary table. Every count is checked against the others and
  // against the file's size, every state id against 1..maxStateId (the
  // network's output count) and every tied row against the model count; a
  // table that fails is logged with the file and the reason, left empty,
  // and the result is 1 (also for a file that cannot be opened). 0 on
  // success.
  int LoadNewTable(const char* path, int maxStateId = kMaxStateId);
  // Writes the binary table. Returns 0, or 1 when the file cannot be written
  // (logged).
  int SaveNewTable(const char* path);
  // Builds the table from the three text files of the older format (phone
  // names are normalised: tone letters a-d become digits 1-4; the other two
  // files must already use the normalised names). Checked like the binary
  // form; 1 and an empty table on failure (logged), 0 on success.
  int LoadOldTable(const char* phoneList, const char* modelList, const char* triphoneList,
                   int maxStateId = kMaxStateId);

  // Triphone id N^2*l + N*c + r of three phone names.
  int GetTriPhoId(const char* left, const char* phone, const char* right);
  // Triphone id of a name written l-c+r; -1 when the name is not a triphone.
  int GetTriPhoId(const char* name);
  // Phone index of a name; a name not in the table counts as phone 0 and is
  // entered with index 0 for the rest of the table's life (logged once).
  int GetPhoId(const std::string& name);

  // Parses a list of plain phones ("a b|c|# d"): each blank-separated token is
  // one position, '|' separates alternatives, "#" closes a block. The first
  // phone's left context is "sil"; the last phone's right context is every
  // phone when anyRight, else "sil". The caller owns the batches.
  std::vector<ZPhoBatch*> ParseWordMonoPhoLst(const char* list, bool anyRight);
  // Parses a list of explicit triphones ("sil-a+b;a-b+sil|#"): positions are
  // separated by ';', alternatives by '|'. The caller owns the batches.
  std::vector<ZPhoBatch*> ParseWordTriPhoLst(const char* list);

  // Empties the table (all counts 0).
  void Clear();

  int nPhoNum;
  std::vector<std::string> vecPhoName;
  std::map<std::string, int> mapPhoId;
  int nStateRow;
  int** pStateId;  // nStateRow rows of three ids
  int nTriNum;
  int* pTriRow;  // nTriNum tied rows, -1 for none
  // Why the last load failed (the text of its log line); empty after success.
  std::string strLastError;
  // Triphones of the last old-table load that named phones outside the phone
  // list; they are skipped (logged).
  int nUnknownTri;

 private:
  // The tied row of a triphone id, -1 when the id is outside the map or the
  // triphone has no model.
  int TriRow(int id) const;
  int Reject(const char* fmt, ...);
};

}  // namespace __kestrel4__

#endif

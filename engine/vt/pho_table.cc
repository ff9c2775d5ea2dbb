#include "engine/vt/pho_table.h"

#include <strings.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/core/array.h"
#include "engine/core/io.h"
#include "engine/core/log.h"
#include "engine/core/util.h"

namespace __kestrel4__ {

ZPhoBatch::ZPhoBatch(int flag, int num) : nFlag(flag), nNum(num), pId(nullptr) {
  if (num > 0) pId = new int[3 * static_cast<size_t>(num)]();
}

ZPhoBatch::~ZPhoBatch() { delete[] pId; }

namespace {

bool IsMarker(const std::string& alt) { return strcasecmp(alt.c_str(), "#") == 0; }

// A tone written as a letter becomes a tone digit: a b c d -> 1 2 3 4.
char ToneDigit(char c) { return (c >= 'a' && c <= 'd') ? static_cast<char>('1' + (c - 'a')) : c; }

// Old phone lists write tones as letters, also in front of a position suffix
// "_B", "_E" or "_S" (not "_I"); the binary table stores them as digits.
std::string NormalisePhoName(std::string name) {
  const size_t len = name.size();
  if (len == 0) return name;
  name[len - 1] = ToneDigit(name[len - 1]);
  const char last = name[len - 1];
  if (len > 3 && name[len - 2] == '_' && (last == 'E' || last == 'B' || last == 'S'))
    name[len - 3] = ToneDigit(name[len - 3]);
  return name;
}

// A decimal state id; false when the text is not a whole number in 1..maxId.
bool ParseStateId(const std::string& text, int maxId, int* id) {
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  if (v < 1 || v > maxId) return false;
  *id = static_cast<int>(v);
  return true;
}

bool StateIdOk(int id, int maxId) { return id >= 1 && id <= maxId; }

// Block and word flags of a parsed list: a position carrying the marker
// closes the block that began at the current block start.
void SetFlags(std::vector<ZPhoBatch*>& batches, const std::vector<bool>& marker) {
  size_t blockStart = 0;
  for (size_t b = 0; b < batches.size(); ++b) {
    if (!marker[b]) continue;
    batches[blockStart]->nFlag |= ZPhoBatch::kBlockStart;
    batches[b]->nFlag |= ZPhoBatch::kBlockEnd;
    blockStart = b + 1;
  }
  if (!batches.empty()) {
    batches.front()->nFlag |= ZPhoBatch::kWordStart;
    batches.back()->nFlag |= ZPhoBatch::kWordEnd;
  }
}

}  // namespace

ZPhoTable::ZPhoTable()
    : nPhoNum(0), nStateRow(0), pStateId(nullptr), nTriNum(0), pTriRow(nullptr), nUnknownTri(0) {}

ZPhoTable::~ZPhoTable() { Clear(); }

void ZPhoTable::Clear() {
  nPhoNum = 0;
  vecPhoName.clear();
  mapPhoId.clear();
  nStateRow = 0;
  z_free_ar2(reinterpret_cast<void**>(pStateId));
  pStateId = nullptr;
  nTriNum = 0;
  std::free(pTriRow);
  pTriRow = nullptr;
}

int ZPhoTable::Reject(const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(line, sizeof(line), fmt, ap);
  va_end(ap);
  strLastError = line;
  z_log(kLogError, "%s", line);
  Clear();
  return 1;
}

int ZPhoTable::LoadNewTable(const char* path, int maxStateId) {
  Clear();
  strLastError.clear();
  ZFileInput in(path, 2);
  if (!in.isValid()) return Reject("phone table %s cannot be opened", path);

  // Every count is checked against what the file still holds before anything
  // is allocated from it.
  long long left = in.Remaining();
  if (left < 5) return Reject("phone table %s is too short to hold a phone count", path);
  int n = 0;
  in.ReadBasicType(&n);
  if (n < 0 || n > kMaxPhoNum)
    return Reject("phone table %s: phone count %d is outside 0..%d", path, n, kMaxPhoNum);
  const long long cube = static_cast<long long>(n) * n * n;
  left = in.Remaining();
  // n names of at least two bytes, two counts, and the triphone map.
  if (left < 2LL * n + 10 + 4 * cube)
    return Reject("phone table %s: %d phones need a triphone map of %lld entries, but only %lld bytes follow", path,
                  n, cube, left);

  std::vector<std::string> names;
  names.reserve(n);
  for (int i = 0; i < n; ++i) {
    std::string name;
    while (true) {
      char c = ' ';
      in.ReadRawData(&c, 1);
      if (in.IsEof()) return Reject("phone table %s ends inside phone name %d", path, i);
      if (c == ' ') break;
      if (static_cast<int>(name.size()) == kMaxNameLen)
        return Reject("phone table %s: phone name %d is longer than %d characters", path, i, kMaxNameLen);
      name.push_back(c);
    }
    if (name.empty()) return Reject("phone table %s: phone name %d is empty", path, i);
    names.push_back(name);
  }

  left = in.Remaining();
  if (left < 5) return Reject("phone table %s ends before the model count", path);
  int m = 0;
  in.ReadBasicType(&m);
  if (m < 0) return Reject("phone table %s: model count %d is negative", path, m);
  left = in.Remaining();
  const long long need = 12LL * m + 5 + 4 * cube;
  if (left != need)
    return Reject("phone table %s: %d models and %d phones need %lld more bytes, but %lld follow", path, m, n, need,
                  left);

  if (m > 0) {
    pStateId = reinterpret_cast<int**>(z_new_ar2(sizeof(int), m, 3));
    if (pStateId == nullptr) return Reject("phone table %s: no memory for %d models", path, m);
    for (int r = 0; r < m; ++r) {
      in.ReadArray(pStateId[r], 3);
      for (int j = 0; j < 3; ++j) {
        if (!StateIdOk(pStateId[r][j], maxStateId))
          return Reject("phone table %s: state id %d of model %d is outside 1..%d", path, pStateId[r][j], r,
                        maxStateId);
      }
    }
  }

  int k = 0;
  in.ReadBasicType(&k);
  if (k != cube) return Reject("phone table %s: triphone count %d is not %d cubed", path, k, n);
  if (cube > 0) {
    pTriRow = static_cast<int*>(z_new_ar1(sizeof(int), static_cast<size_t>(cube)));
    if (pTriRow == nullptr) return Reject("phone table %s: no memory for %lld triphones", path, cube);
    in.ReadArray(pTriRow, static_cast<int>(cube));
    for (int t = 0; t < k; ++t) {
      if (pTriRow[t] < -1 || pTriRow[t] >= m)
        return Reject("phone table %s: triphone %d names model %d of %d", path, t, pTriRow[t], m);
    }
  }

  nPhoNum = n;
  vecPhoName = names;
  for (int i = 0; i < n; ++i) mapPhoId[names[i]] = i;
  nStateRow = m;
  nTriNum = k;
  return 0;
}

int ZPhoTable::SaveNewTable(const char* path) {
  ZFileOutput out(path, 2);
  if (!out.isValid()) {
    z_log(kLogError, "phone table %s cannot be written", path);
    return 1;
  }
  out.WriteBasicType(&nPhoNum);
  for (const std::string& name : vecPhoName) out.WriteToken(name.c_str());
  out.WriteBasicType(&nStateRow);
  for (int r = 0; r < nStateRow; ++r) out.WriteArray(pStateId[r], 3);
  out.WriteBasicType(&nTriNum);
  out.WriteArray(pTriRow, nTriNum);
  // The stream does not report write failures: a full disk shows here.
  if (std::fflush(out.file) != 0 || std::ferror(out.file) != 0) {
    z_log(kLogError, "phone table %s could not be written completely", path);
    return 1;
  }
  return 0;
}

int ZPhoTable::LoadOldTable(const char* phoneList, const char* modelList, const char* triphoneList,
                            int maxStateId) {
  Clear();
  strLastError.clear();
  nUnknownTri = 0;

  std::vector<std::string> phones = GetFileContentLst(phoneList);
  if (phones.empty()) return Reject("phone list %s holds no phones", phoneList);
  if (static_cast<int>(phones.size()) > kMaxPhoNum)
    return Reject("phone list %s holds %d phones, more than %d", phoneList, static_cast<int>(phones.size()),
                  kMaxPhoNum);
  std::vector<std::string> names;
  for (size_t i = 0; i < phones.size(); ++i) {
    std::string name = NormalisePhoName(phones[i]);
    // The binary form ends a name at a blank and holds at most 100 characters.
    if (static_cast<int>(name.size()) > kMaxNameLen)
      return Reject("phone list %s: phone %d is longer than %d characters", phoneList, static_cast<int>(i),
                    kMaxNameLen);
    if (name.find(' ') != std::string::npos)
      return Reject("phone list %s: phone %d (%s) contains a blank", phoneList, static_cast<int>(i), name.c_str());
    names.push_back(name);
  }

  std::map<std::string, int> modelRow;
  std::vector<int> ids;
  for (const std::string& line : GetFileContentLst(modelList)) {
    std::vector<std::string> f = z_str_split(line.c_str(), " ");
    if (f.size() != 5) continue;
    int id[3];
    for (int j = 0; j < 3; ++j) {
      if (!ParseStateId(f[2 + j], maxStateId, &id[j]))
        return Reject("model list %s: state id %s of model %s is not a number in 1..%d", modelList,
                      f[2 + j].c_str(), f[0].c_str(), maxStateId);
    }
    modelRow[f[0]] = static_cast<int>(ids.size() / 3);
    ids.insert(ids.end(), id, id + 3);
  }
  const int m = static_cast<int>(ids.size() / 3);
  if (m == 0) return Reject("model list %s holds no models", modelList);
  pStateId = reinterpret_cast<int**>(z_new_ar2(sizeof(int), m, 3));
  if (pStateId == nullptr) return Reject("model list %s: no memory for %d models", modelList, m);
  std::memcpy(pStateId[0], ids.data(), sizeof(int) * ids.size());

  const int n = static_cast<int>(names.size());
  const long long cube = static_cast<long long>(n) * n * n;
  pTriRow = static_cast<int*>(z_new_ar1(sizeof(int), static_cast<size_t>(cube)));
  if (pTriRow == nullptr) return Reject("phone list %s: no memory for %lld triphones", phoneList, cube);
  for (long long t = 0; t < cube; ++t) pTriRow[t] = -1;
  nPhoNum = n;
  vecPhoName = names;
  for (int i = 0; i < n; ++i) mapPhoId[names[i]] = i;
  nStateRow = m;
  nTriNum = static_cast<int>(cube);

  // A triphone naming a phone outside the phone list is skipped: read as
  // phone 0 it would overwrite the model of a triphone of phone 0.
  std::string firstUnknown;
  for (const std::string& line : GetFileContentLst(triphoneList)) {
    std::vector<std::string> f = z_str_split(line.c_str(), " ");
    if (f.empty() || f.size() > 2) continue;
    std::vector<std::string> p = z_str_split(f[0].c_str(), "-+");
    if (p.size() < 3) continue;
    int idx[3];
    bool known = true;
    for (int j = 0; j < 3 && known; ++j) {
      auto ph = mapPhoId.find(p[j]);
      known = ph != mapPhoId.end();
      if (known) idx[j] = ph->second;
    }
    if (!known) {
      if (nUnknownTri++ == 0) firstUnknown = f[0];
      continue;
    }
    auto it = modelRow.find(f.size() == 2 ? f[1] : f[0]);
    pTriRow[n * n * idx[0] + n * idx[1] + idx[2]] = it == modelRow.end() ? 0 : it->second;
  }
  if (nUnknownTri > 0)
    z_log(kLogInfo, "triphone list %s: %d triphones name phones that are not in the phone list and were skipped (%s)",
          triphoneList, nUnknownTri, firstUnknown.c_str());
  return 0;
}

int ZPhoTable::GetPhoId(const std::string& name) {
  auto it = mapPhoId.find(name);
  if (it != mapPhoId.end()) return it->second;
  z_log(kLogInfo, "phone %s is not in the phone table: read as phone 0", name.c_str());
  mapPhoId[name] = 0;
  return 0;
}

int ZPhoTable::GetTriPhoId(const char* left, const char* phone, const char* right) {
  const int l = GetPhoId(left), c = GetPhoId(phone), r = GetPhoId(right);
  return nPhoNum * nPhoNum * l + nPhoNum * c + r;
}

int ZPhoTable::GetTriPhoId(const char* name) {
  std::vector<std::string> p = z_str_split(name, "-+");
  if (p.size() < 3) return -1;
  return GetTriPhoId(p[0].c_str(), p[1].c_str(), p[2].c_str());
}

int ZPhoTable::TriRow(int id) const {
  if (id < 0 || id >= nTriNum) return -1;
  return pTriRow[id];
}

std::vector<ZPhoBatch*> ZPhoTable::ParseWordMonoPhoLst(const char* list, bool anyRight) {
  // Phone indices of every position, the "sil" context at both ends. An
  // alternative repeating an earlier one's phone cannot add a tied row that
  // the earlier one has not already contributed in the same order, so each
  // position keeps distinct phones only.
  struct Pos {
    std::vector<int> pho;
    bool marker = false;
  };
  auto addPho = [](Pos& p, int id) {
    for (int x : p.pho)
      if (x == id) return;
    p.pho.push_back(id);
  };
  std::vector<Pos> pos;
  Pos sil;
  sil.pho.push_back(GetPhoId("sil"));
  pos.push_back(sil);
  for (const std::string& token : z_str_split(list, " \r\t\n")) {
    Pos p;
    for (const std::string& alt : z_str_split(token.c_str(), "|")) {
      if (IsMarker(alt))
        p.marker = true;
      else
        addPho(p, GetPhoId(alt));
    }
    pos.push_back(p);
  }
  if (anyRight) {
    Pos any;
    for (int i = 0; i < nPhoNum; ++i) any.pho.push_back(i);
    pos.push_back(any);
  } else {
    pos.push_back(sil);
  }

  std::vector<ZPhoBatch*> batches;
  std::vector<bool> marker;
  std::vector<int> seenAt(nStateRow, -1);  // position that last collected each row
  std::vector<int> rows;
  for (size_t i = 1; i + 1 < pos.size(); ++i) {
    rows.clear();
    for (int l : pos[i - 1].pho)
      for (int c : pos[i].pho)
        for (int r : pos[i + 1].pho) {
          int row = TriRow(nPhoNum * nPhoNum * l + nPhoNum * c + r);
          if (row < 0 || seenAt[row] == static_cast<int>(i)) continue;
          seenAt[row] = static_cast<int>(i);
          rows.push_back(row);
        }
    ZPhoBatch* b = new ZPhoBatch(0, static_cast<int>(rows.size()));
    for (size_t a = 0; a < rows.size(); ++a) std::memcpy(b->pId + 3 * a, pStateId[rows[a]], 3 * sizeof(int));
    batches.push_back(b);
    marker.push_back(pos[i].marker);
  }
  SetFlags(batches, marker);
  return batches;
}

std::vector<ZPhoBatch*> ZPhoTable::ParseWordTriPhoLst(const char* list) {
  std::vector<ZPhoBatch*> batches;
  std::vector<bool> marker;
  std::vector<int> rows;
  for (const std::string& seg : z_str_split(list, ";")) {
    bool mark = false;
    rows.clear();
    for (const std::string& alt : z_str_split(seg.c_str(), "|")) {
      if (IsMarker(alt)) {
        mark = true;
        continue;
      }
      int row = TriRow(GetTriPhoId(alt.c_str()));
      if (row >= 0) rows.push_back(row);
    }
    ZPhoBatch* b = new ZPhoBatch(0, static_cast<int>(rows.size()));
    for (size_t a = 0; a < rows.size(); ++a) std::memcpy(b->pId + 3 * a, pStateId[rows[a]], 3 * sizeof(int));
    batches.push_back(b);
    marker.push_back(mark);
  }
  SetFlags(batches, marker);
  return batches;
}

}  // namespace __kestrel4__

#include "tests/support/pho_builder.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>

namespace testing_support {

namespace {

void PutInt(std::string& s, int v) {
  s.push_back(4);
  uint32_t u = static_cast<uint32_t>(v);
  for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
}

void PutRaw(std::string& s, int v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int b = 0; b < 4; ++b) s.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
}

}  // namespace

std::string PhoTableBytes(int n, const std::vector<std::string>& names, int m, const std::vector<int>& ids, int k,
                          const std::vector<int>& triRows) {
  std::string s;
  PutInt(s, n);
  for (const std::string& name : names) {
    s += name;
    s.push_back(' ');
  }
  PutInt(s, m);
  for (int id : ids) PutRaw(s, id);
  PutInt(s, k);
  for (int r : triRows) PutRaw(s, r);
  return s;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

PhoTableBuilder::PhoTableBuilder(std::vector<std::string> names) : phones(std::move(names)) {
  const size_t n = phones.size();
  triRows.assign(n * n * n, -1);
}

int PhoTableBuilder::Model(int id0, int id1, int id2) {
  ids.push_back(id0);
  ids.push_back(id1);
  ids.push_back(id2);
  return static_cast<int>(ids.size() / 3) - 1;
}

int PhoTableBuilder::Index(const std::string& phone) const {
  for (size_t i = 0; i < phones.size(); ++i)
    if (phones[i] == phone) return static_cast<int>(i);
  return -1;
}

int PhoTableBuilder::TriId(int l, int c, int r) const {
  const int n = static_cast<int>(phones.size());
  return n * n * l + n * c + r;
}

PhoTableBuilder& PhoTableBuilder::Tri(const std::string& l, const std::string& c, const std::string& r, int row) {
  const int n = static_cast<int>(phones.size());
  const int ci = Index(c);
  if (ci < 0) throw std::invalid_argument("unknown phone " + c);
  for (int li = 0; li < n; ++li) {
    if (l != "*" && phones[li] != l) continue;
    for (int ri = 0; ri < n; ++ri) {
      if (r != "*" && phones[ri] != r) continue;
      triRows[TriId(li, ci, ri)] = row;
    }
  }
  return *this;
}

PhoTableBuilder& PhoTableBuilder::ContextFree(int first) {
  for (size_t p = 0; p < phones.size(); ++p) {
    const int base = first + 3 * static_cast<int>(p);
    Tri("*", phones[p], "*", Model(base, base + 1, base + 2));
  }
  return *this;
}

std::string PhoTableBuilder::Bytes() const {
  const int n = static_cast<int>(phones.size());
  return PhoTableBytes(n, phones, static_cast<int>(ids.size() / 3), ids, n * n * n, triRows);
}

bool PhoTableBuilder::Write(const std::string& path) const { return WriteBytes(path, Bytes()); }

}  // namespace testing_support

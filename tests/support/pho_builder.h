// Builds binary phone tables for tests from a few lines of description:
// phone names, tied models with their three state ids, and which triphones
// use which model. The raw encoder writes counts exactly as given, so a test
// can make them disagree with each other or with the data.
#ifndef KESTREL_TESTS_SUPPORT_PHO_BUILDER_H
#define KESTREL_TESTS_SUPPORT_PHO_BUILDER_H

#include <string>
#include <vector>

namespace testing_support {

// The bytes of a binary phone table: phone count n, the names (each followed
// by a blank), model count m, the ids (three per model), triphone count k and
// the tied rows, each count preceded by its size byte 0x04.
std::string PhoTableBytes(int n, const std::vector<std::string>& names, int m, const std::vector<int>& ids, int k,
                          const std::vector<int>& triRows);

// Writes bytes to path; false when the file cannot be written.
bool WriteBytes(const std::string& path, const std::string& bytes);

class PhoTableBuilder {
 public:
  explicit PhoTableBuilder(std::vector<std::string> phones);

  // Adds a tied model with three state ids (numbered from 1); returns its row.
  int Model(int id0, int id1, int id2);
  // Triphone l-c+r uses tied row `row`; "*" as l or r stands for every phone.
  PhoTableBuilder& Tri(const std::string& l, const std::string& c, const std::string& r, int row);
  // Every phone p (in table order) gets a model of its own with the ids
  // first + 3p, first + 3p + 1, first + 3p + 2, used in every context.
  PhoTableBuilder& ContextFree(int first = 1);

  int Index(const std::string& phone) const;  // -1 when not a phone
  int TriId(int l, int c, int r) const;
  std::string Bytes() const;
  bool Write(const std::string& path) const;

  std::vector<std::string> phones;
  std::vector<int> ids;      // three per model
  std::vector<int> triRows;  // N^3 entries, -1 for none
};

}  // namespace testing_support

#endif

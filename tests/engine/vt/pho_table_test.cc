#include "engine/vt/pho_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "tests/support/log_capture.h"
#include "tests/support/pho_builder.h"

namespace __kestrel4__ {
namespace {

using testing_support::LogCapture;
using testing_support::PhoTableBuilder;
using testing_support::PhoTableBytes;
using testing_support::WriteBytes;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/pho_" + name + "_" + std::to_string(getpid());
}

std::string ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteText(const std::string& path, const std::string& text) { ASSERT_TRUE(WriteBytes(path, text)); }

// Every triphone has a model of its own whose ids spell the triphone id t:
// 3t+1, 3t+2, 3t+3. A parsed position then shows exactly which triphones it
// collected, in which order.
PhoTableBuilder DistinctTable(const std::vector<std::string>& phones) {
  PhoTableBuilder b(phones);
  const int n = static_cast<int>(phones.size());
  for (int t = 0; t < n * n * n; ++t) b.triRows[t] = b.Model(3 * t + 1, 3 * t + 2, 3 * t + 3);
  return b;
}

void LoadFrom(const PhoTableBuilder& b, ZPhoTable& table, const std::string& name) {
  const std::string path = TempPath(name);
  ASSERT_TRUE(b.Write(path));
  ASSERT_EQ(table.LoadNewTable(path.c_str()), 0) << table.strLastError;
}

// The alternatives of a batch as triphone ids of a DistinctTable.
std::vector<int> Triphones(const ZPhoBatch* b) {
  std::vector<int> t;
  for (int a = 0; a < b->nNum; ++a) {
    EXPECT_EQ(b->pId[3 * a] % 3, 1);
    EXPECT_EQ(b->pId[3 * a + 1], b->pId[3 * a] + 1);
    EXPECT_EQ(b->pId[3 * a + 2], b->pId[3 * a] + 2);
    t.push_back((b->pId[3 * a] - 1) / 3);
  }
  return t;
}

void Release(std::vector<ZPhoBatch*>& v) {
  for (ZPhoBatch* b : v) delete b;
  v.clear();
}

void ExpectEmpty(const ZPhoTable& t) {
  EXPECT_EQ(t.nPhoNum, 0);
  EXPECT_TRUE(t.vecPhoName.empty());
  EXPECT_TRUE(t.mapPhoId.empty());
  EXPECT_EQ(t.nStateRow, 0);
  EXPECT_EQ(t.pStateId, nullptr);
  EXPECT_EQ(t.nTriNum, 0);
  EXPECT_EQ(t.pTriRow, nullptr);
}

TEST(PhoTableTest, BinaryRoundTripKeepsEverything) {
  PhoTableBuilder b({"sil", "a", "b2", "x3_B"});
  const int r0 = b.Model(1, 2, 3), r1 = b.Model(40, 41, 42), r2 = b.Model(7, 7, 7);
  b.Tri("*", "a", "*", r0).Tri("sil", "b2", "a", r1).Tri("a", "x3_B", "*", r2);
  const std::string src = TempPath("rt_src"), copy = TempPath("rt_copy");
  ASSERT_TRUE(b.Write(src));

  ZPhoTable t;
  ASSERT_EQ(t.LoadNewTable(src.c_str()), 0);
  EXPECT_EQ(t.nPhoNum, 4);
  EXPECT_EQ(t.vecPhoName, b.phones);
  EXPECT_EQ(t.mapPhoId.at("x3_B"), 3);
  ASSERT_EQ(t.nStateRow, 3);
  EXPECT_EQ(t.pStateId[1][0], 40);
  EXPECT_EQ(t.pStateId[1][2], 42);
  ASSERT_EQ(t.nTriNum, 64);
  EXPECT_EQ(std::vector<int>(t.pTriRow, t.pTriRow + 64), b.triRows);

  ASSERT_EQ(t.SaveNewTable(copy.c_str()), 0);
  EXPECT_EQ(ReadAll(copy), ReadAll(src));  // byte for byte
  ZPhoTable u;
  ASSERT_EQ(u.LoadNewTable(copy.c_str()), 0);
  EXPECT_EQ(u.vecPhoName, t.vecPhoName);
  EXPECT_EQ(u.nStateRow, t.nStateRow);
  EXPECT_EQ(std::vector<int>(u.pStateId[0], u.pStateId[0] + 9), std::vector<int>(t.pStateId[0], t.pStateId[0] + 9));
  EXPECT_EQ(std::vector<int>(u.pTriRow, u.pTriRow + 64), b.triRows);
}

TEST(PhoTableTest, SizeBytesAreNotChecked) {
  PhoTableBuilder b({"sil", "a"});
  b.ContextFree();
  std::string bytes = b.Bytes();
  bytes[0] = 9;  // the phone count's size byte
  const std::string path = TempPath("sizebyte");
  ASSERT_TRUE(WriteBytes(path, bytes));
  ZPhoTable t;
  EXPECT_EQ(t.LoadNewTable(path.c_str()), 0);
  EXPECT_EQ(t.nPhoNum, 2);
}

TEST(PhoTableTest, OldTableNormalisesToneLettersAndConverts) {
  const std::string phones = TempPath("old_phones"), models = TempPath("old_models"), tris = TempPath("old_tris");
  WriteText(phones, "sil\na1\nab\nxc_B\nxa_I\n");
  WriteText(models,
            "m0 3 1 2 3\n"
            "m1 3 4 5 6\n"
            "too few 7\n"           // skipped: not five fields
            "m2 3 7 8 9 extra\n"    // skipped
            "m3 3 10 11 12\n");
  WriteText(tris,
            "sil-a1+a2 m1\n"       // explicit model
            "a1-a2+sil\n"          // no second field: its own name, unknown -> row 0
            "a2-x3_B+sil m3\n"
            "sil\n"                // a single phone: no triphone
            "a1-xa_I+sil m1 m3\n"   // three fields: skipped
            "sil-ab+sil m1\n"       // "ab" is stored as a2: skipped, sil-sil+sil keeps no model
            "sil-q+sil m3\n");
  ZPhoTable t;
  LogCapture log;
  ASSERT_EQ(t.LoadOldTable(phones.c_str(), models.c_str(), tris.c_str()), 0) << t.strLastError;
  EXPECT_EQ(t.vecPhoName, (std::vector<std::string>{"sil", "a1", "a2", "x3_B", "xa_I"}));
  EXPECT_EQ(t.nUnknownTri, 2);
  EXPECT_TRUE(log.Contains("2 triphones name phones that are not in the phone list and were skipped (sil-ab+sil)"))
      << log.Dump();
  EXPECT_EQ(t.mapPhoId.size(), 5u);  // no unknown name entered
  ASSERT_EQ(t.nStateRow, 3);
  EXPECT_EQ(t.pStateId[2][0], 10);
  const int n = 5;
  auto id = [n](int l, int c, int r) { return n * n * l + n * c + r; };
  std::vector<int> want(n * n * n, -1);
  want[id(0, 1, 2)] = 1;
  want[id(1, 2, 0)] = 0;
  want[id(2, 3, 0)] = 2;
  EXPECT_EQ(std::vector<int>(t.pTriRow, t.pTriRow + n * n * n), want);

  // What the conversion tool does: save, and the binary form reads back the same.
  const std::string bin = TempPath("old_bin");
  ASSERT_EQ(t.SaveNewTable(bin.c_str()), 0);
  ZPhoTable u;
  ASSERT_EQ(u.LoadNewTable(bin.c_str()), 0);
  EXPECT_EQ(u.vecPhoName, t.vecPhoName);
  EXPECT_EQ(std::vector<int>(u.pTriRow, u.pTriRow + n * n * n), want);
}

TEST(PhoTableTest, TriphoneIds) {
  PhoTableBuilder b({"sil", "a", "b", "c", "d", "e", "f", "g", "h", "i"});
  b.ContextFree();
  ZPhoTable t;
  LoadFrom(b, t, "triids");
  EXPECT_EQ(t.GetTriPhoId("sil"), -1);
  EXPECT_EQ(t.GetTriPhoId("a-b+c"), 123);
  EXPECT_EQ(t.GetTriPhoId("a", "b", "c"), 123);
  EXPECT_EQ(t.GetTriPhoId("a-b"), -1);  // two pieces are not a triphone
  EXPECT_EQ(t.GetTriPhoId("--a-b+c"), 123);  // empty pieces vanish
  // A name the table does not know reads as phone 0 and stays known as such.
  LogCapture log;
  EXPECT_EQ(t.GetTriPhoId("zz-b+c"), 23);
  EXPECT_EQ(t.mapPhoId.at("zz"), 0);
  EXPECT_TRUE(log.Has("phone zz is not in the phone table: read as phone 0", 4)) << log.Dump();
}

TEST(PhoTableTest, PlainListExample) {
  const std::vector<std::string> phones = {"sil", "a", "b", "c"};
  PhoTableBuilder b = DistinctTable(phones);
  ZPhoTable t;
  LoadFrom(b, t, "plain_example");
  auto id = [&b](const char* l, const char* c, const char* r) { return b.TriId(b.Index(l), b.Index(c), b.Index(r)); };

  std::vector<ZPhoBatch*> v = t.ParseWordMonoPhoLst("a b|c|#", false);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0]->nFlag, 1 | 4);
  EXPECT_EQ(Triphones(v[0]), (std::vector<int>{id("sil", "a", "b"), id("sil", "a", "c")}));
  EXPECT_EQ(v[1]->nFlag, 2 | 8);
  EXPECT_EQ(Triphones(v[1]), (std::vector<int>{id("a", "b", "sil"), id("a", "c", "sil")}));
  Release(v);

  // Left alternatives outermost, right innermost; separators " \r\t\n".
  v = t.ParseWordMonoPhoLst("\tb|c\r\na|c\n", false);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(Triphones(v[0]),
            (std::vector<int>{id("sil", "b", "a"), id("sil", "b", "c"), id("sil", "c", "a"), id("sil", "c", "c")}));
  EXPECT_EQ(Triphones(v[1]),
            (std::vector<int>{id("b", "a", "sil"), id("b", "c", "sil"), id("c", "a", "sil"), id("c", "c", "sil")}));
  EXPECT_EQ(v[0]->nFlag, 1);  // no "#": no block flags
  EXPECT_EQ(v[1]->nFlag, 2);
  Release(v);
}

TEST(PhoTableTest, RightContextOfTheLastPhone) {
  const std::vector<std::string> phones = {"sil", "a", "b", "c"};
  PhoTableBuilder b = DistinctTable(phones);
  ZPhoTable t;
  LoadFrom(b, t, "right_ctx");
  auto id = [&b](int l, int c, int r) { return b.TriId(l, c, r); };
  std::vector<ZPhoBatch*> v = t.ParseWordMonoPhoLst("a b|#", true);  // any phone may follow
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(Triphones(v[1]), (std::vector<int>{id(1, 2, 0), id(1, 2, 1), id(1, 2, 2), id(1, 2, 3)}));
  Release(v);
  v = t.ParseWordMonoPhoLst("a b|#", false);  // silence must follow
  EXPECT_EQ(Triphones(v[1]), (std::vector<int>{id(1, 2, 0)}));
  Release(v);
}

TEST(PhoTableTest, DuplicatesRemovedInPlainListsKeptInTriphoneLists) {
  PhoTableBuilder b({"sil", "a", "b"});
  const int ra = b.Model(4, 5, 6), rb = b.Model(7, 8, 9);
  b.Tri("*", "a", "*", ra).Tri("*", "b", "*", rb);
  ZPhoTable t;
  LoadFrom(b, t, "dups");

  std::vector<ZPhoBatch*> v = t.ParseWordMonoPhoLst("a|a|#", false);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0]->nNum, 1);
  Release(v);
  // Different phones sharing one tied model also give one alternative.
  b.Tri("*", "b", "*", ra);
  LoadFrom(b, t, "dups_shared");
  v = t.ParseWordMonoPhoLst("a|b|#", false);
  EXPECT_EQ(v[0]->nNum, 1);
  Release(v);

  v = t.ParseWordTriPhoLst("sil-a+sil|sil-a+sil|#");
  ASSERT_EQ(v.size(), 1u);
  ASSERT_EQ(v[0]->nNum, 2);
  EXPECT_EQ(std::vector<int>(v[0]->pId, v[0]->pId + 6), (std::vector<int>{4, 5, 6, 4, 5, 6}));
  Release(v);
}

TEST(PhoTableTest, TriphoneListPositionsAndFlags) {
  PhoTableBuilder b({"sil", "a", "b"});
  const int ra = b.Model(4, 5, 6), rb = b.Model(7, 8, 9);
  b.Tri("sil", "a", "b", ra).Tri("a", "b", "sil", rb);
  ZPhoTable t;
  LoadFrom(b, t, "trilist");
  // Single phones and triphones without a model are left out.
  std::vector<ZPhoBatch*> v = t.ParseWordTriPhoLst("sil|sil-a+b|#;b-a+b|a-b+sil;a-b+sil|#");
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0]->nFlag, 1 | 4 | 8);
  EXPECT_EQ(std::vector<int>(v[0]->pId, v[0]->pId + 3), (std::vector<int>{4, 5, 6}));
  EXPECT_EQ(v[1]->nFlag, 4);
  EXPECT_EQ(v[1]->nNum, 1);
  EXPECT_EQ(v[2]->nFlag, 2 | 8);
  Release(v);
}

TEST(PhoTableTest, PositionsWithoutStateIds) {
  PhoTableBuilder b({"sil", "a", "b"});
  b.ContextFree();
  ZPhoTable t;
  LoadFrom(b, t, "noids");
  // A marker-only token is a position without phones: it has no triphones,
  // and neither do its neighbours, whose context it is.
  std::vector<ZPhoBatch*> v = t.ParseWordMonoPhoLst("a # b", false);
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0]->nNum, 0);
  EXPECT_EQ(v[1]->nNum, 0);
  EXPECT_EQ(v[2]->nNum, 0);
  EXPECT_EQ(v[1]->pId, nullptr);
  Release(v);
  v = t.ParseWordTriPhoLst("a-b|sil");
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0]->nNum, 0);
  Release(v);
  // An empty table covers nothing and is never read outside its map.
  ZPhoTable empty;
  v = empty.ParseWordMonoPhoLst("a b|#", true);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[0]->nNum + v[1]->nNum, 0);
  Release(v);
  v = empty.ParseWordTriPhoLst("sil-a+b");
  EXPECT_EQ(v[0]->nNum, 0);
  Release(v);
}

struct BadTable {
  const char* name;
  std::string bytes;
  int maxStateId;
  const char* reason;
};

std::string Repeat(char c, int n) { return std::string(n, c); }

std::vector<BadTable> BadTables() {
  // A valid 2-phone table: sil, a; one model; a in every context.
  const std::vector<std::string> two = {"sil", "a"};
  const std::vector<int> ids = {1, 2, 3};
  const std::vector<int> tri = {-1, -1, 0, 0, -1, -1, 0, 0};
  const int cap = ZPhoTable::kMaxStateId;
  std::vector<BadTable> cases = {
      {"empty file", "", cap, "too short"},
      {"negative phone count", PhoTableBytes(-1, {}, 0, {}, 0, {}), cap, "phone count -1 is outside"},
      {"phone count whose cube overflows", PhoTableBytes(1291, two, 1, ids, 8, tri), cap,
       "phone count 1291 is outside"},
      {"huge phone count", PhoTableBytes(INT_MAX, two, 1, ids, 8, tri), cap, "is outside 0..645"},
      {"phone count the file cannot hold", PhoTableBytes(600, two, 1, ids, 8, tri), cap,
       "600 phones need a triphone map of 216000000 entries"},
      {"triphone count not N cubed", PhoTableBytes(2, two, 1, ids, 7, tri), cap, "triphone count 7 is not 2 cubed"},
      {"rows run past the end", PhoTableBytes(2, two, 1000, ids, 8, tri), cap, "1000 models and 2 phones need"},
      {"negative model count", PhoTableBytes(2, two, -4, ids, 8, tri), cap, "model count -4 is negative"},
      {"trailing bytes", PhoTableBytes(2, two, 1, ids, 8, tri) + "xyz", cap, "need 49 more bytes, but 52 follow"},
      {"triphone map cut short", PhoTableBytes(2, two, 1, ids, 8, {0, 0, 0}), cap,
       "2 phones need a triphone map of 8 entries, but only 40 bytes follow"},
      {"phone name of 101 characters", PhoTableBytes(2, {"sil", Repeat('p', 101)}, 1, ids, 8, tri), cap,
       "phone name 1 is longer than 100 characters"},
      {"empty phone name", PhoTableBytes(2, {"sil", ""}, 1, ids, 8, tri), cap, "phone name 1 is empty"},
      {"file ends inside a name", PhoTableBytes(1, {}, 0, {}, 0, {}) + Repeat('q', 20), cap,
       "ends inside phone name 0"},
      {"state id 0", PhoTableBytes(2, two, 1, {1, 0, 3}, 8, tri), cap, "state id 0 of model 0 is outside 1..1048576"},
      {"negative state id", PhoTableBytes(2, two, 1, {-7, 2, 3}, 8, tri), cap, "state id -7 of model 0"},
      {"state id past the network", PhoTableBytes(2, two, 1, {1, 2, 31}, 8, tri), 30,
       "state id 31 of model 0 is outside 1..30"},
      {"implausible state id", PhoTableBytes(2, two, 1, {1, 2, INT_MAX}, 8, tri), cap, "state id 2147483647"},
      {"triphone names a missing model", PhoTableBytes(2, two, 1, ids, 8, {-1, 1, 0, 0, 0, 0, 0, 0}), cap,
       "triphone 1 names model 1 of 1"},
      {"triphone row below -1", PhoTableBytes(2, two, 1, ids, 8, {-1, -2, 0, 0, 0, 0, 0, 0}), cap,
       "triphone 1 names model -2 of 1"},
  };
  return cases;
}

TEST(PhoTableTest, BadBinaryTablesAreRejectedWithOneLine) {
  for (const BadTable& c : BadTables()) {
    SCOPED_TRACE(c.name);
    const std::string path = TempPath("bad");
    ASSERT_TRUE(WriteBytes(path, c.bytes));
    ZPhoTable t;
    LogCapture log;
    EXPECT_EQ(t.LoadNewTable(path.c_str(), c.maxStateId), 1);
    ExpectEmpty(t);
    std::vector<testing_support::LogLine> lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u) << log.Dump();
    EXPECT_EQ(lines[0].prio, 6);
    EXPECT_NE(lines[0].text.find(path), std::string::npos) << lines[0].text;
    EXPECT_NE(lines[0].text.find(c.reason), std::string::npos) << lines[0].text;
    EXPECT_EQ(t.strLastError, lines[0].text);
    // Nothing of it is usable: every word position comes out without ids.
    std::vector<ZPhoBatch*> v = t.ParseWordMonoPhoLst("a|#", true);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->nNum, 0);
    Release(v);
  }
}

TEST(PhoTableTest, BoundaryTablesAreAccepted) {
  // A name of exactly 100 characters, the highest state id the caller allows,
  // and an empty table are all valid.
  const std::string path = TempPath("boundary");
  const std::string longName = Repeat('p', 100);
  ASSERT_TRUE(WriteBytes(path, PhoTableBytes(2, {"sil", longName}, 1, {1, 2, 30}, 8, {-1, -1, 0, 0, -1, -1, 0, 0})));
  ZPhoTable t;
  ASSERT_EQ(t.LoadNewTable(path.c_str(), 30), 0) << t.strLastError;
  EXPECT_EQ(t.vecPhoName[1], longName);
  ASSERT_TRUE(WriteBytes(path, PhoTableBytes(0, {}, 0, {}, 0, {})));
  EXPECT_EQ(t.LoadNewTable(path.c_str()), 0);
  ExpectEmpty(t);
  // A failed load leaves nothing of an earlier table behind.
  ASSERT_TRUE(WriteBytes(path, PhoTableBytes(2, {"sil", "a"}, 1, {1, 2, 3}, 8, {0, 0, 0, 0, 0, 0, 0, 0})));
  ASSERT_EQ(t.LoadNewTable(path.c_str()), 0);
  EXPECT_EQ(t.LoadNewTable(TempPath("does_not_exist").c_str()), 1);
  ExpectEmpty(t);
  EXPECT_NE(t.strLastError.find("cannot be opened"), std::string::npos);
}

TEST(PhoTableTest, BadOldTablesAreRejected) {
  const std::string phones = TempPath("oldbad_phones"), models = TempPath("oldbad_models"),
                    tris = TempPath("oldbad_tris");
  std::string many;
  for (int i = 0; i < 646; ++i) many += "p" + std::to_string(i) + "\n";
  struct Case {
    const char* name;
    std::string phoneText, modelText;
    const char* reason;
  } cases[] = {
      {"no phones", "", "m 3 1 2 3\n", "holds no phones"},
      {"too many phones", many, "m 3 1 2 3\n", "holds 646 phones, more than 645"},
      {"phone with a blank", "sil\na x\n", "m 3 1 2 3\n", "phone 1 (a x) contains a blank"},
      {"phone name too long", "sil\n" + Repeat('p', 101) + "\n", "m 3 1 2 3\n", "longer than 100 characters"},
      {"no models", "sil\na\n", "only four fields here\n", "holds no models"},
      {"state id not a number", "sil\na\n", "m 3 1 x 3\n", "state id x of model m is not a number in 1.."},
      {"state id zero", "sil\na\n", "m 3 1 0 3\n", "state id 0 of model m"},
      {"state id too large", "sil\na\n", "m 3 1 2 99999999999\n", "state id 99999999999 of model m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteText(phones, c.phoneText);
    WriteText(models, c.modelText);
    WriteText(tris, "sil-a+sil m\n");
    ZPhoTable t;
    LogCapture log;
    EXPECT_EQ(t.LoadOldTable(phones.c_str(), models.c_str(), tris.c_str()), 1);
    ExpectEmpty(t);
    EXPECT_TRUE(log.Contains(c.reason)) << log.Dump();
    EXPECT_NE(t.strLastError.find(c.reason), std::string::npos) << t.strLastError;
  }
}

}  // namespace
}  // namespace __kestrel4__

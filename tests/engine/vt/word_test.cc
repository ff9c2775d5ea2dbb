#include "engine/vt/word.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "engine/vt/vt_sto.h"
#include "include/kestrel.h"
#include "tests/support/log_capture.h"
#include "tests/support/nnet_builder.h"
#include "tests/support/pho_builder.h"

namespace __kestrel4__ {
namespace {

using testing_support::LogCapture;
using testing_support::PhoTableBuilder;
using testing_support::PhoTableBytes;
using testing_support::WriteBytes;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/word_" + name + "_" + std::to_string(getpid());
}

WordInfo Record(int type, const char* text, const char* phones) {
  WordInfo r;
  std::memset(&r, 0, sizeof(r));
  r.WordType = type;
  std::snprintf(r.WordContent, sizeof(r.WordContent), "%s", text);
  std::snprintf(r.WordContent_Phone, sizeof(r.WordContent_Phone), "%s", phones);
  r.BlockAvgScore = 3.0f;
  r.BlockMinScore = -1.0f;
  r.ClassifyNnetShield = -0.3f;
  return r;
}

std::vector<int> Ids(const ZPhoState* s) { return std::vector<int>(s->pId, s->pId + s->nId); }
std::vector<int> Prev(const ZPhoState* s) { return std::vector<int>(s->pPrev, s->pPrev + s->nPrev); }

ZPhoBatch* Batch(int flag, std::vector<int> ids) {
  ZPhoBatch* b = new ZPhoBatch(flag, static_cast<int>(ids.size() / 3));
  std::copy(ids.begin(), ids.end(), b->pId);
  return b;
}

// sil, a, b with one model per phone (ids 1-3, 4-6, 7-9) in every context.
void LoadSmallTable(ZPhoTable& t, const std::string& name) {
  PhoTableBuilder b({"sil", "a", "b"});
  b.ContextFree();
  const std::string path = TempPath(name);
  ASSERT_TRUE(b.Write(path));
  ASSERT_EQ(t.LoadNewTable(path.c_str()), 0);
}

TEST(WordTest, ConstructorDefaults) {
  ZVtWord w;
  EXPECT_EQ(w.WordType, 4);
  EXPECT_EQ(w.BlockMinFrmLen, 3);
  EXPECT_EQ(w.BlockMaxFrmLen, 30);
  EXPECT_EQ(w.BlockAvgScore, 3.0f);
  EXPECT_EQ(w.BlockMinScore, -1.0f);
  EXPECT_FALSE(w.LeftSilCheck);
  EXPECT_FALSE(w.RightSilCheck);
  EXPECT_EQ(w.nStateNum, 0);
  EXPECT_EQ(w.ppState, nullptr);
}

TEST(WordTest, ThreePositionsMakeAChainOfNineStates) {
  ZVtWord w;
  ASSERT_EQ(w.SetPhoBatchLst({Batch(1 | 4, {1, 2, 3}), Batch(0, {4, 5, 6}), Batch(2 | 8, {7, 8, 9})}), 0);
  ASSERT_EQ(w.nStateNum, 9);
  EXPECT_EQ(w.vecPhoBatch.size(), 3u);
  EXPECT_EQ(Prev(w.ppState[0]), (std::vector<int>{0}));
  EXPECT_EQ(Prev(w.ppState[1]), (std::vector<int>{1, 0}));
  EXPECT_EQ(Prev(w.ppState[3]), (std::vector<int>{3, 2}));
  EXPECT_EQ(Prev(w.ppState[4]), (std::vector<int>{4, 3}));
  EXPECT_EQ(Prev(w.ppState[6]), (std::vector<int>{6, 5}));
  EXPECT_EQ(Prev(w.ppState[8]), (std::vector<int>{8, 7}));
  for (int s = 0; s < 9; ++s) {
    SCOPED_TRACE(s);
    EXPECT_EQ(w.ppState[s]->nBatch, s / 3);
    EXPECT_EQ(w.ppState[s]->nSub, s % 3);
    EXPECT_EQ(Ids(w.ppState[s]), (std::vector<int>{s + 1}));
  }
  EXPECT_EQ(w.ppState[0]->nFlag, 1 | 4);
  EXPECT_EQ(w.ppState[1]->nFlag, 0);
  EXPECT_EQ(w.ppState[2]->nFlag, 0);
  EXPECT_EQ(w.ppState[6]->nFlag, 0);
  EXPECT_EQ(w.ppState[8]->nFlag, 2 | 8);
  EXPECT_EQ(w.nBlockNum, 1);
  // A second list replaces the first (the old states and batches are released).
  w.SetPhoBatchLst({Batch(1 | 2 | 4 | 8, {1, 2, 3})});
  EXPECT_EQ(w.nStateNum, 3);
  EXPECT_EQ(w.ppState[0]->nFlag, 1 | 4);
  EXPECT_EQ(w.ppState[2]->nFlag, 2 | 8);
}

TEST(WordTest, AlternativesShareOneChainWithDistinctIds) {
  ZVtWord w;
  w.SetPhoBatchLst({Batch(1 | 2 | 4 | 8, {1, 2, 3, 1, 5, 3, 9, 2, 3})});
  EXPECT_EQ(Ids(w.ppState[0]), (std::vector<int>{1, 9}));
  EXPECT_EQ(Ids(w.ppState[1]), (std::vector<int>{2, 5}));
  EXPECT_EQ(Ids(w.ppState[2]), (std::vector<int>{3}));
}

TEST(WordTest, BlockFlagsOfTwoMarkedPositions) {
  ZPhoTable t;
  LoadSmallTable(t, "flags");
  ZVtWord w;
  w.SetPhoBatchLst(t.ParseWordMonoPhoLst("a|# b|#", false));
  ASSERT_EQ(w.nStateNum, 6);
  const int want[6] = {1 | 4, 0, 8, 4, 0, 2 | 8};
  for (int s = 0; s < 6; ++s) EXPECT_EQ(w.ppState[s]->nFlag, want[s]) << "state " << s;
  EXPECT_EQ(w.nBlockNum, 2);
  EXPECT_EQ(Ids(w.ppState[3]), (std::vector<int>{7}));
}

TEST(WordTest, CheckNoCmdChangeAnswersAndLogs) {
  ZVtWord w;
  w.CmdChangeAec = true;  // what the front end sets for id-0 words
  w.CmdChangeNoAec = false;
  {
    LogCapture log;
    EXPECT_TRUE(w.CheckNoCmdChange(true));
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(log.Has("--------------change to cmd in aec condition", 4));
  }
  {
    LogCapture log;
    EXPECT_FALSE(w.CheckNoCmdChange(false));
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  }
  w.CmdChangeAec = false;
  w.CmdChangeNoAec = true;
  LogCapture log;
  EXPECT_FALSE(w.CheckNoCmdChange(true));
  EXPECT_TRUE(w.CheckNoCmdChange(false));
  ASSERT_EQ(log.Lines().size(), 1u);
  EXPECT_TRUE(log.Has("--------------change to cmd in no aec condition", 4));
}

TEST(WordTest, RecordSettingsAndFixedSettings) {
  ZPhoTable t;
  LoadSmallTable(t, "record");
  WordInfo r = Record(1, "hello", "a|# b|#");
  r.BlockAvgScore = 4.5f;
  r.BlockMinScore = -2.0f;
  r.LeftSilCheck = 1;
  r.RightSilCheck = 1;
  r.CmdChangeAec = 1;
  r.CmdChangeNoAec = 0;
  r.ClassifyCheck = 1;
  r.ClassifyNnetShield = -0.5f;
  std::snprintf(r.ClassifyNnetPath, sizeof(r.ClassifyNnetPath), "/m/cf.nnet");
  ZVtWord w;
  w.SetFromRecord(r, t);
  EXPECT_EQ(w.WordType, 1);
  EXPECT_EQ(w.WordContent, "hello");
  EXPECT_EQ(w.BlockAvgScore, 4.5f);
  EXPECT_EQ(w.BlockMinScore, -2.0f);
  EXPECT_TRUE(w.LeftSilCheck);
  EXPECT_TRUE(w.RightSilCheck);
  EXPECT_TRUE(w.CmdChangeAec);
  EXPECT_FALSE(w.CmdChangeNoAec);
  EXPECT_TRUE(w.ClassifyCheck);
  EXPECT_EQ(w.ClassifyNnetShield, -0.5f);
  EXPECT_EQ(w.ClassifyNnetPath, "/m/cf.nnet");
  EXPECT_EQ(w.BlockMinFrmLen, 3);
  EXPECT_EQ(w.BlockMaxFrmLen, 30);
  EXPECT_EQ(w.LeftSilOffset, 35);
  EXPECT_EQ(w.LeftSilSkip, 10);
  EXPECT_EQ(w.LeftSilShield, 0.3f);
  EXPECT_EQ(w.RightSilOffset, 35);
  EXPECT_EQ(w.RightSilSkip, 10);
  EXPECT_EQ(w.RightSilShield, 0.3f);
  EXPECT_EQ(w.nStateNum, 6);
  EXPECT_EQ(w.CheckScorable(), "");
}

TEST(WordTest, OnlyTypeTwoWordsMustEndInSilence) {
  PhoTableBuilder b({"sil", "a", "b"});
  b.Tri("sil", "a", "b", b.Model(1, 2, 3));
  b.Tri("a", "b", "sil", b.Model(10, 11, 12));
  b.Tri("a", "b", "a", b.Model(20, 21, 22));
  b.Tri("a", "b", "b", b.Model(30, 31, 32));
  const std::string path = TempPath("type2");
  ASSERT_TRUE(b.Write(path));
  ZPhoTable t;
  ASSERT_EQ(t.LoadNewTable(path.c_str()), 0);
  for (int type : {1, 2, 4}) {
    SCOPED_TRACE(type);
    ZVtWord w;
    w.SetFromRecord(Record(type, "w", "a b|#"), t);
    ASSERT_EQ(w.nStateNum, 6);
    const std::vector<int> want = type == 2 ? std::vector<int>{10} : std::vector<int>{10, 20, 30};
    EXPECT_EQ(Ids(w.ppState[3]), want);
  }
  // A list holding '+' is read as explicit triphones whatever the type.
  ZVtWord w;
  w.SetFromRecord(Record(1, "w", "sil-a+b;a-b+a|#"), t);
  ASSERT_EQ(w.nStateNum, 6);
  EXPECT_EQ(Ids(w.ppState[3]), (std::vector<int>{20}));
}

// n positions "a|#", blank-separated.
std::string Positions(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += i ? " a|#" : "a|#";
  return s;
}

TEST(WordTest, WordsThatCouldNeverBeScored) {
  ZPhoTable t;
  LoadSmallTable(t, "scorable");
  struct Case {
    std::string phones;
    std::string why;
  } cases[] = {
      {"", "its phone list holds no phone position"},
      {" \t\r\n", "its phone list holds no phone position"},
      {"a # b", "phone position 1 has no state id (no triphone of the table covers it)"},
      {"sil-a+b|#;x-y", "phone position 2 has no state id (no triphone of the table covers it)"},
      {"a b", "its phone list has no block marker \"#\", so it could never be detected"},
      {"a|# b|#", ""},
      {"a b|#", ""},
      // The detector's 400 frames of history hold at most 133 positions.
      {Positions(133), ""},
      {Positions(134), "its phone list has 134 positions, more than the 133 a detector can place in its 400 frames of "
                       "history"},
      {Positions(6000), "its phone list has 6000 positions, more than the 133 a detector can place in its 400 frames "
                        "of history"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phones.substr(0, 40));
    ZVtWord w;
    w.SetFromRecord(Record(1, "w", c.phones.c_str()), t);
    EXPECT_EQ(w.CheckScorable(), c.why);
  }
}

TEST(WordTest, RecordTextsWithoutTerminatorAreReadWithinTheirArrays) {
  ZPhoTable t;
  LoadSmallTable(t, "unterminated");
  std::vector<WordInfo> r(1);
  std::memset(r.data(), 'a', sizeof(WordInfo));  // no NUL anywhere
  r[0].WordType = 1;
  ZVtWord w;
  w.SetFromRecord(r[0], t);
  EXPECT_EQ(w.WordContent.size(), sizeof(r[0].WordContent));
  EXPECT_EQ(w.ClassifyNnetPath.size(), sizeof(r[0].ClassifyNnetPath));
  EXPECT_EQ(z_word_phone_list(r[0]).size(), sizeof(r[0].WordContent_Phone));
  EXPECT_EQ(w.vecPhoBatch.size(), 1u);  // one (unknown) phone of 25600 letters
}

TEST(WordTest, WordPrintWordInfoLines) {
  ZPhoTable t;
  LoadSmallTable(t, "wprint");
  WordInfo r = Record(2, "w", "a|#");
  r.BlockAvgScore = 4.5f;
  r.RightSilCheck = 1;
  ZVtWord w;
  w.SetFromRecord(r, t);
  LogCapture log;
  w.PrintWordInfo();
  const std::string dashes(48, '-');
  const std::vector<std::string> want = {
      dashes,
      "WordType:           2",
      "BlockMinFrmLen:   3",
      "BlockMaxFrmLen:   30",
      "BlockAvgScore:    4.500000",
      "BlockMinScore:    -1.000000",
      "LeftSilCheck:     0",
      "LeftSilOffset:    35",
      "LeftSilSkip:      10",
      "LeftSilShield:    0.300000",
      "RightSilCheck:    1",
      "RightSilOffset:   35",
      "RightSilSkip:     10",
      "RightSilShield:   0.300000",
      dashes,
  };
  std::vector<std::string> got;
  for (const auto& l : log.Lines()) {
    EXPECT_EQ(l.prio, 4);
    EXPECT_EQ(l.tag, "QEXAL_plover");
    got.push_back(l.text);
  }
  EXPECT_EQ(got, want);
}

TEST(WordTest, StoreConvertsAListAndLogsEveryWord) {
  PhoTableBuilder b({"sil", "a", "b"});
  b.ContextFree();
  const std::string table = TempPath("store_table");
  ASSERT_TRUE(b.Write(table));
  ZVtSto sto(TempPath("no_model").c_str(), table.c_str());  // no network: ids checked against the plain cap
  std::vector<WordInfo> r = {Record(1, "hello", "a|# b|#"), Record(2, "bye", "sil-a+b|#;a-b+sil|#")};
  r[0].BlockAvgScore = 4.5f;
  r[0].LeftSilCheck = 1;
  r[0].ClassifyCheck = 1;
  std::snprintf(r[0].ClassifyNnetPath, sizeof(r[0].ClassifyNnetPath), "/m/cf.nnet");
  r[1].BlockMinScore = -2.0f;
  r[1].RightSilCheck = 1;
  r[1].ClassifyNnetShield = 0.25f;

  LogCapture log;
  std::vector<ZVtWord*> words = sto.ParseWordTriPhoLst(r.data(), 2);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0]->WordContent, "hello");
  EXPECT_EQ(words[1]->nStateNum, 6);
  const std::vector<std::string> want = {
      "WordType:           1",    "WordContent:        hello", "WordContent_Phone:  a|# b|#",
      "BlockMinFrmLen:     3",    "BlockMaxFrmLen:     30",    "BlockAvgScore:      4.5",
      "BlockMinScore:      -1.0", "LeftSilCheck:       1",     "LeftSilOffset:      35",
      "LeftSilSkip:        10",   "LeftSilShield:      0.3",   "RightSilCheck:      0",
      "RightSilOffset:     35",   "RightSilSkip:       10",    "RightSilShield:     0.3",
      "ClassifyCheck:      1",    "ClassifyNnetShield: -0.3",  "ClassifyNnetPath:   /m/cf.nnet",
      "WordType:           2",    "WordContent:        bye",   "WordContent_Phone:  sil-a+b|#;a-b+sil|#",
      "BlockMinFrmLen:     3",    "BlockMaxFrmLen:     30",    "BlockAvgScore:      3.0",
      "BlockMinScore:      -2.0", "LeftSilCheck:       0",     "LeftSilOffset:      35",
      "LeftSilSkip:        10",   "LeftSilShield:      0.3",   "RightSilCheck:      1",
      "RightSilOffset:     35",   "RightSilSkip:       10",    "RightSilShield:     0.3",
      "ClassifyCheck:      0",    "ClassifyNnetShield: 0.2",   "ClassifyNnetPath:   ",
  };
  std::vector<std::string> got;
  for (const auto& l : log.Lines()) {
    EXPECT_EQ(l.prio, 4) << l.text;
    got.push_back(l.text);
  }
  EXPECT_EQ(got, want);
  for (ZVtWord* w : words) delete w;
}

// The exported entry point: words are built from the table at the store's
// path, read anew for every list, and a list with a word that cannot be
// scored is refused as a whole.
class SetWordsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = new std::string(TempPath("model"));
    table_ = new std::string(TempPath("setwords_table"));
    // A small acoustic model: the engine's 957 spliced features to 4 outputs.
    testing_support::NnetBuilder net;
    net.Affine(957, 4).Softmax(4);
    ASSERT_TRUE(net.Write(*model_));
    ASSERT_EQ(w6_vt_sysinit(model_->c_str(), table_->c_str()), 0);
  }
  static void TearDownTestSuite() {
    w6_vt_sysexit();
    delete model_;
    delete table_;
  }
  void SetUp() override {
    ASSERT_NE(g_VtSto, nullptr);
    ASSERT_NE(static_cast<ZVtSto*>(g_VtSto)->pNnet, nullptr) << "the test model did not load";
    ASSERT_TRUE(GoodTable().Write(*table_));
    h_ = w6_vt_create(1);
    ASSERT_NE(h_, 0);
  }
  void TearDown() override { w6_vt_free(h_); }

  static int Outputs() { return static_cast<ZVtSto*>(g_VtSto)->pNnet->outDim; }
  // sil, a, b; every state id names the network's last output.
  static PhoTableBuilder GoodTable() {
    PhoTableBuilder b({"sil", "a", "b"});
    const int top = Outputs();
    const int row = b.Model(top, top, top);
    for (const char* p : {"sil", "a", "b"}) b.Tri("*", p, "*", row);
    return b;
  }
  static std::vector<WordInfo> List(const char* second) {
    return {Record(1, "first", "a|# b|#"), Record(2, "second", second)};
  }
  int Count() {
    const WordInfo* w = nullptr;
    int n = -1;
    w6_vt_getwords(h_, &w, &n);
    return n;
  }
  std::string Name(int i) {
    const WordInfo* w = nullptr;
    int n = 0;
    w6_vt_getwords(h_, &w, &n);
    return i < n ? w[i].WordContent : "";
  }

  static std::string* model_;
  static std::string* table_;
  int64_t h_ = 0;
};
std::string* SetWordsTest::model_ = nullptr;
std::string* SetWordsTest::table_ = nullptr;

TEST_F(SetWordsTest, BuildsTheListFromTheStoreTable) {
  std::vector<WordInfo> list = List("b a|#");
  LogCapture log;
  EXPECT_EQ(w6_vt_setwords(h_, list.data(), 2), 0);
  EXPECT_TRUE(log.Has("WordContent:        second", 4)) << log.Dump();
  list.clear();  // the engine keeps its own copy
  EXPECT_EQ(Count(), 2);
  EXPECT_EQ(Name(1), "second");
  std::vector<float> audio(1920, 0.0f);
  const float* ch[1] = {audio.data()};
  EXPECT_EQ(w6_vt_process(h_, ch, 1920, 0), 0);  // detectors built from the new words
  EXPECT_EQ(w6_vt_setwords(h_, nullptr, 0), 1);  // nothing pending any more
}

TEST_F(SetWordsTest, RefusedListsLeaveTheCurrentListInPlace) {
  static const std::string kLongList = Positions(134);
  const std::string top = std::to_string(Outputs());
  const std::vector<int> ids = {Outputs(), Outputs(), Outputs() + 1};
  const std::vector<int> tri(27, 0);
  const std::vector<std::string> names = {"sil", "a", "b"};
  struct Case {
    const char* name;
    std::string tableBytes;  // empty: the good table
    bool removeTable;
    const char* phones;      // of the second word
    std::vector<std::string> logged;
  } cases[] = {
      {"position without a state id", "", false, "a # b",
       {"w6_vt_setwords: word 1 \"second\" is not built: phone position 1 has no state id (no triphone of the table "
        "covers it) (phones \"a # b\")"}},
      {"unknown triphone", "", false, "sil-a+b|#;q-r",
       {"word 1 \"second\" is not built: phone position 2 has no state id"}},
      {"no block marker", "", false, "a b", {"word 1 \"second\" is not built: its phone list has no block marker"}},
      {"empty phone list", "", false, "", {"word 1 \"second\" is not built: its phone list holds no phone position"}},
      {"too many positions", "", false, kLongList.c_str(),
       {"word 1 \"second\" is not built: its phone list has 134 positions"}},
      {"state id past the network's outputs", PhoTableBytes(3, names, 1, ids, 27, tri), false, "b|#",
       {"state id " + std::to_string(Outputs() + 1) + " of model 0 is outside 1.." + top,
        "no word can be built without the phone table"}},
      {"corrupt table", PhoTableBytes(3, names, 1, {1, 1, 1}, 26, tri), false, "b|#",
       {"triphone count 26 is not 3 cubed", "no word can be built without the phone table"}},
      {"missing table", "", true, "b|#", {"cannot be opened", "no word can be built without the phone table"}},
  };
  std::vector<float> audio(1920, 0.0f);
  const float* ch[1] = {audio.data()};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto breakTable = [&] {
      if (c.removeTable) {
        std::remove(table_->c_str());
      } else if (!c.tableBytes.empty()) {
        ASSERT_TRUE(WriteBytes(*table_, c.tableBytes));
      }
    };
    std::vector<WordInfo> bad = List(c.phones);
    const int64_t fresh = w6_vt_create(1);
    breakTable();
    {
      LogCapture log;
      EXPECT_EQ(w6_vt_setwords(fresh, bad.data(), 2), 1);
      for (const std::string& part : c.logged) EXPECT_TRUE(log.Contains(part)) << part << "\n" << log.Dump();
      EXPECT_TRUE(log.Contains("w6_vt_setwords: ")) << log.Dump();
      EXPECT_FALSE(log.Contains("WordType:")) << "settings logged for a refused list\n" << log.Dump();
    }
    const WordInfo* w = nullptr;
    int n = -1;
    w6_vt_getwords(fresh, &w, &n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(w6_vt_process(fresh, ch, 1920, 0), 0);
    w6_vt_free(fresh);

    // With a good list pending, a refused one changes nothing and reports
    // the pending replacement.
    ASSERT_TRUE(GoodTable().Write(*table_));
    std::vector<WordInfo> good = List("b|#");
    ASSERT_EQ(w6_vt_setwords(h_, good.data(), 2), 0);
    breakTable();
    EXPECT_EQ(w6_vt_setwords(h_, bad.data(), 2), 0);
    EXPECT_EQ(Count(), 2);
    EXPECT_EQ(Name(0), "first");
    EXPECT_EQ(w6_vt_process(h_, ch, 1920, 0), 0);
    // Once the good list is in use, a refused list reports 1 again.
    EXPECT_EQ(w6_vt_setwords(h_, bad.data(), 2), 1);
    EXPECT_EQ(Count(), 2);
    ASSERT_TRUE(GoodTable().Write(*table_));
  }
}

}  // namespace
}  // namespace __kestrel4__

// The wake engine's driver through its exported functions: store lifecycle,
// null handles, word-list replacement and the instance's history rings.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/vt/vt_mem.h"
#include "engine/vt/vt_sto.h"
#include "include/kestrel.h"
#include "tests/support/log_capture.h"
#include "tests/support/pho_builder.h"
#include "tests/support/nnet_builder.h"

namespace __kestrel4__ {
namespace {

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/" + name + "_" + std::to_string(getpid());
}

// A small acoustic model: an affine layer from the engine's 957 spliced
// features to `outputs` units, then log-softmax.
void WriteModel(const std::string& path, int outputs) {
  testing_support::NnetBuilder net;
  net.Affine(957, outputs).Softmax(outputs);
  ASSERT_TRUE(net.Write(path));
}

void WritePriors(const std::string& path, const std::vector<float>& values, int claimed) {
  ZFileOutput out(path.c_str(), 0);
  out.WriteToken("FV");
  out.WriteBasicType(&claimed);
  out.WriteArray(values.data(), static_cast<int>(values.size()));
}

WordInfo MakeWord(const char* text, const char* phones) {
  WordInfo w;
  std::memset(&w, 0, sizeof(w));
  w.WordType = 1;
  std::strncpy(w.WordContent, text, sizeof(w.WordContent) - 1);
  std::strncpy(w.WordContent_Phone, phones, sizeof(w.WordContent_Phone) - 1);
  w.BlockAvgScore = 3.0f;
  w.BlockMinScore = -1.0f;
  w.ClassifyNnetShield = -0.3f;
  return w;
}

ZVtMem* Mem(int64_t h) { return reinterpret_cast<ZVtMem*>(static_cast<intptr_t>(h)); }

class VtApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    model_ = TempPath("am.nnet");
    WriteModel(model_, 6);
    // Phones sil, a, b, c, d; every triphone tied to one model on output 1.
    table_ = TempPath("phones.bin");
    testing_support::PhoTableBuilder table({"sil", "a", "b", "c", "d"});
    const int row = table.Model(1, 1, 1);
    for (const char* p : {"sil", "a", "b", "c", "d"}) table.Tri("*", p, "*", row);
    ASSERT_TRUE(table.Write(table_));
    ASSERT_EQ(w6_vt_sysinit(model_.c_str(), table_.c_str()), 0);
    ASSERT_NE(g_VtSto, nullptr);
  }
  void TearDown() override {
    w6_vt_sysexit();
    std::remove(model_.c_str());
    std::remove(table_.c_str());
  }
  std::string model_;
  std::string table_;
};

TEST(VtNullHandleTest, EveryFunctionAnswersTheNullHandle) {
  const float* ch[1] = {nullptr};
  const WordInfo* word = reinterpret_cast<const WordInfo*>(1);
  const WordDetInfo* info = reinterpret_cast<const WordDetInfo*>(1);
  int count = 5;
  EXPECT_EQ(w6_vt_process(0, ch, 160, 0), 0);
  EXPECT_EQ(w6_vt_setwords(0, nullptr, 1), 1);
  EXPECT_EQ(w6_vt_getwords(0, &word, &count), 0);
  EXPECT_EQ(word, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(w6_vt_getdetwordinfo(0, &word, &info, 0), 1);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(w6_vt_reset(0), 0);
  EXPECT_EQ(w6_vt_getbestscore_eer(0, ch, 160), -FLT_MAX);
  EXPECT_EQ(w6_vt_set_dosecsl_cb(0, nullptr, nullptr), 0);
  EXPECT_EQ(w6_vt_set_checkdirty_cb(0, nullptr, nullptr), 0);
  EXPECT_EQ(w6_vt_set_getdata_cb(0, nullptr, nullptr), 0);
  EXPECT_EQ(w6_vt_free(0), 0);
  EXPECT_EQ(kestrel_mem_print(), 0);
  EXPECT_EQ(w6_g2p_create(), 0);
  EXPECT_EQ(w6_g2p_process(0, "text"), nullptr);
  EXPECT_EQ(w6_g2p_free(0), 0);
}

TEST(VtStoreTest, NoStoreOrUnusableModelGivesTheNullHandle) {
  testing_support::LogCapture log;
  EXPECT_EQ(w6_vt_create(1), 0);
  EXPECT_TRUE(log.Contains("w6_vt_create: no store")) << log.Dump();

  ASSERT_EQ(w6_vt_sysinit("/nonexistent/am.nnet", "/nonexistent/phones.bin"), 0);
  ASSERT_NE(g_VtSto, nullptr);
  EXPECT_EQ(w6_vt_create(1), 0);
  EXPECT_TRUE(log.Contains("w6_vt_create: the store has no usable network")) << log.Dump();
  EXPECT_EQ(w6_vt_sysexit(), 0);
  EXPECT_EQ(g_VtSto, nullptr);
  EXPECT_EQ(ZMat::m_plogtab1, nullptr);
}

TEST_F(VtApiTest, SecondSysinitKeepsTheStore) {
  void* first = g_VtSto;
  ASSERT_EQ(w6_vt_sysinit("/other/model", "/other/table"), 0);
  EXPECT_EQ(g_VtSto, first);
  EXPECT_EQ(static_cast<ZVtSto*>(g_VtSto)->strPhoPath, table_);
  int64_t h = w6_vt_create(2);
  EXPECT_NE(h, 0);
  w6_vt_free(h);
  EXPECT_EQ(w6_vt_create(0), 0);
}

TEST_F(VtApiTest, PriorsComeFromTheFileBesideTheModel) {
  w6_vt_sysexit();
  WritePriors(model_ + ".prior", {-1.0f, -2.0f, -3.0f}, 3);  // short: 3 of 6
  testing_support::LogCapture log;
  ASSERT_EQ(w6_vt_sysinit(model_.c_str(), table_.c_str()), 0);
  Nnet* net = static_cast<ZVtSto*>(g_VtSto)->pNnet;
  ASSERT_NE(net, nullptr);
  if (net->outDim != 6) GTEST_SKIP() << "the network loader does not read the model's dimensions yet";
  ASSERT_TRUE(net->usePrior);
  EXPECT_EQ(net->prior->data[0], 1.0f);  // negated log-prior: added to outputs
  EXPECT_EQ(net->prior->data[2], 3.0f);
  EXPECT_EQ(net->prior->data[3], 0.0f);  // missing values: no correction
  EXPECT_TRUE(log.Contains("holds 3 of 6 values")) << log.Dump();

  // A count that claims more than the file holds reads only what is there.
  float dst[6] = {9, 9, 9, 9, 9, 9};
  WritePriors(model_ + ".prior", {-1.0f, -2.0f}, 1000000);
  EXPECT_EQ(ReadPriorFile((model_ + ".prior").c_str(), dst, 6), 2);
  EXPECT_EQ(dst[1], -2.0f);
  EXPECT_EQ(dst[2], 9.0f);
  EXPECT_EQ(ReadPriorFile("/nonexistent/x.prior", dst, 6), 0);
  std::remove((model_ + ".prior").c_str());
}

TEST_F(VtApiTest, SetWordsResultsAndTheCopiedList) {
  int64_t h = w6_vt_create(1);
  ASSERT_NE(h, 0);
  EXPECT_EQ(w6_vt_setwords(h, nullptr, 0), 1);  // nothing pending
  std::vector<WordInfo> words = {MakeWord("hello", "a b|#"), MakeWord("stop", "c d|#")};
  EXPECT_EQ(w6_vt_setwords(h, words.data(), 2), 0);
  EXPECT_EQ(w6_vt_setwords(h, nullptr, 0), 0);  // a replacement is pending
  EXPECT_EQ(w6_vt_setwords(h, nullptr, -3), 0);

  const WordInfo* got = nullptr;
  int count = 0;
  EXPECT_EQ(w6_vt_getwords(h, &got, &count), 0);
  ASSERT_EQ(count, 2);
  EXPECT_NE(got, words.data());  // the instance's own copy
  words.assign(2, MakeWord("gone", "x"));  // the caller's array may change
  EXPECT_STREQ(got[1].WordContent, "stop");

  std::vector<float> audio(1920, 0.0f);
  const float* ch[1] = {audio.data()};
  EXPECT_EQ(w6_vt_process(h, ch, 1920, 0), 0);
  EXPECT_EQ(Mem(h)->nDetNum, 2);
  EXPECT_EQ(w6_vt_setwords(h, nullptr, 0), 1);  // applied: nothing pending
  w6_vt_free(h);
}

TEST_F(VtApiTest, ProcessingBeforeWordsFillsTheRings) {
  int64_t h = w6_vt_create(2);
  std::vector<float> c0(1920), c1(1920, 5.0f);
  for (int i = 0; i < 1920; ++i) c0[i] = static_cast<float>(i);
  const float* ch[2] = {c0.data(), c1.data()};
  EXPECT_EQ(w6_vt_process(h, ch, 1920, 0), 0);
  EXPECT_EQ(w6_vt_process(h, ch, 0, 0), 0);  // nothing consumed
  EXPECT_EQ(w6_vt_process(h, ch, -1, 0), 0);
  float last[3];
  Mem(h)->pAudBuff->GetBuff(last, 3, 0);  // channel 0 only
  EXPECT_EQ(last[0], 1917.0f);
  EXPECT_EQ(last[2], 1919.0f);

  const WordInfo* word = nullptr;
  const WordDetInfo* info = nullptr;
  EXPECT_EQ(w6_vt_getdetwordinfo(h, &word, &info, 0), 1);
  EXPECT_EQ(word, nullptr);
  EXPECT_EQ(info, nullptr);
  EXPECT_EQ(w6_vt_getbestscore_eer(h, ch, 1920), -FLT_MAX);  // no word to score

  w6_vt_reset(h);
  Mem(h)->pAudBuff->GetBuff(last, 3, 0);
  EXPECT_EQ(last[2], 0.0f);
  EXPECT_EQ(Mem(h)->pAudBuff->pos, 0);
  w6_vt_free(h);
}

TEST_F(VtApiTest, ReplacementWaitsForTheActiveDetection) {
  int64_t h = w6_vt_create(1);
  std::vector<WordInfo> a = {MakeWord("alpha", "a|#")};
  std::vector<WordInfo> b = {MakeWord("bravo", "b|#"), MakeWord("charlie", "c|#")};
  std::vector<float> audio(1920, 0.0f);
  const float* ch[1] = {audio.data()};
  ASSERT_EQ(w6_vt_setwords(h, a.data(), 1), 0);
  w6_vt_process(h, ch, 1920, 0);
  ZVtMem* mem = Mem(h);
  ASSERT_EQ(mem->nDetNum, 1);
  ZVtWord* running = mem->ppDet[0]->pWord;

  mem->nActiveDet = 0;  // detector 0 is in the middle of a detection
  ASSERT_EQ(w6_vt_setwords(h, b.data(), 2), 0);
  w6_vt_process(h, ch, 1920, 0);
  EXPECT_EQ(mem->nDetNum, 1);  // the old detector keeps running
  EXPECT_EQ(mem->ppDet[0]->pWord, running);
  const WordInfo* word = nullptr;
  const WordDetInfo* info = nullptr;
  EXPECT_EQ(w6_vt_getdetwordinfo(h, &word, &info, 0), 0);
  EXPECT_STREQ(word->WordContent, "alpha");  // the record its detector was built from
  const WordInfo* list = nullptr;
  int count = 0;
  w6_vt_getwords(h, &list, &count);
  EXPECT_EQ(count, 2);  // while getwords already returns the new list
  EXPECT_STREQ(list[0].WordContent, "bravo");

  mem->ppDet[0]->nStatus = 102;  // the detection finishes in this call
  w6_vt_process(h, ch, 1920, 0);
  EXPECT_EQ(mem->nActiveDet, -1);
  EXPECT_EQ(mem->nDetNum, 1);
  w6_vt_process(h, ch, 1920, 0);  // the new list applies from the next call
  ASSERT_EQ(mem->nDetNum, 2);
  EXPECT_STREQ(mem->pDetWordInfo[1].WordContent, "charlie");
  w6_vt_free(h);
}

TEST_F(VtApiTest, CallbacksReachCurrentAndLaterDetectors) {
  int64_t h = w6_vt_create(1);
  int user = 0;
  auto getdata = [](int, int, float*, void*) { return 0; };
  std::vector<WordInfo> a = {MakeWord("alpha", "a|#")};
  std::vector<float> audio(160, 0.0f);
  const float* ch[1] = {audio.data()};
  w6_vt_setwords(h, a.data(), 1);
  w6_vt_process(h, ch, 160, 0);
  w6_vt_set_getdata_cb(h, getdata, &user);
  EXPECT_EQ(Mem(h)->ppDet[0]->pGetDataUser, &user);
  w6_vt_setwords(h, a.data(), 1);
  w6_vt_process(h, ch, 160, 0);  // rebuilt detectors receive it too
  EXPECT_EQ(Mem(h)->ppDet[0]->pGetDataUser, &user);
  EXPECT_NE(Mem(h)->ppDet[0]->fnGetData, nullptr);
  w6_vt_free(h);
}

}  // namespace
}  // namespace __kestrel4__

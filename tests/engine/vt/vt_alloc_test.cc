// Steady listening allocates nothing: once the detectors are built and the
// output matrices of the feature chain and the network have grown to their
// final size, a w6_vt_process call on audio without a candidate must not
// touch the heap. The test program replaces the C allocator and the global
// operator new with counting versions that forward to glibc's own
// allocator, so every allocation made anywhere in the process (engine,
// FFTW, BLAS, the C and C++ runtimes) is seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "include/kestrel.h"
#include "tests/support/nnet_builder.h"
#include "tests/support/pho_builder.h"
#include "tests/support/wake_fixture.h"

#if defined(__SANITIZE_ADDRESS__)
#define KESTREL_ALLOC_COUNTING 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTREL_ALLOC_COUNTING 0
#endif
#endif
#ifndef KESTREL_ALLOC_COUNTING
#define KESTREL_ALLOC_COUNTING 1
#endif

#if KESTREL_ALLOC_COUNTING
#include <dlfcn.h>
#include <errno.h>

#include <atomic>

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void* __libc_valloc(size_t);
void* __libc_pvalloc(size_t);
void __libc_free(void*);
}

namespace {

// Counting is switched on around the calls under test only. The engine runs
// on the calling thread, but the counters are atomic so that a stray thread
// of the runtime cannot tear them.
std::atomic<bool> g_counting{false};
std::atomic<long> g_count{0};
constexpr int kMaxSites = 8;
std::atomic<int> g_sites{0};
void* g_site[kMaxSites];

inline void Note(void* caller) {
  if (!g_counting.load(std::memory_order_relaxed)) return;
  g_count.fetch_add(1, std::memory_order_relaxed);
  const int k = g_sites.fetch_add(1, std::memory_order_relaxed);
  if (k < kMaxSites) g_site[k] = caller;
}

}  // namespace

extern "C" {

void* malloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_malloc(n);
}

void* calloc(size_t n, size_t size) {
  Note(__builtin_return_address(0));
  return __libc_calloc(n, size);
}

void* realloc(void* p, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_realloc(p, n);
}

void free(void* p) { __libc_free(p); }

void* memalign(size_t align, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(align, n);
}

void* aligned_alloc(size_t align, size_t n) {
  Note(__builtin_return_address(0));
  return __libc_memalign(align, n);
}

int posix_memalign(void** out, size_t align, size_t n) {
  Note(__builtin_return_address(0));
  if (align < sizeof(void*) || (align & (align - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(align, n);
  if (p == nullptr && n != 0) return ENOMEM;
  *out = p;
  return 0;
}

void* valloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_valloc(n);
}

void* pvalloc(size_t n) {
  Note(__builtin_return_address(0));
  return __libc_pvalloc(n);
}

}  // extern "C"

namespace {

void* CountedNew(size_t n, void* caller) {
  Note(caller);
  void* p = __libc_malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* CountedNewAligned(size_t n, std::align_val_t a, void* caller) {
  Note(caller);
  size_t align = static_cast<size_t>(a);
  if (align < sizeof(void*)) align = sizeof(void*);
  void* p = __libc_memalign(align, n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t n) { return CountedNew(n, __builtin_return_address(0)); }
void* operator new[](size_t n) { return CountedNew(n, __builtin_return_address(0)); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  Note(__builtin_return_address(0));
  return __libc_malloc(n == 0 ? 1 : n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  Note(__builtin_return_address(0));
  return __libc_malloc(n == 0 ? 1 : n);
}
void* operator new(size_t n, std::align_val_t a) { return CountedNewAligned(n, a, __builtin_return_address(0)); }
void* operator new[](size_t n, std::align_val_t a) { return CountedNewAligned(n, a, __builtin_return_address(0)); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t) noexcept { __libc_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { __libc_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { __libc_free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { __libc_free(p); }

#endif  // KESTREL_ALLOC_COUNTING

namespace {

using testing_support::NnetBuilder;
using testing_support::Scene;
using testing_support::ToneWord;

#if KESTREL_ALLOC_COUNTING

// Allocations made by one call, and where the first few came from (as
// "object+offset", for addr2line).
struct Counted {
  long count = 0;
  std::string sites;
};

template <typename F>
Counted Count(F&& call) {
  g_sites.store(0);
  g_count.store(0);
  g_counting.store(true);
  call();
  g_counting.store(false);
  Counted c;
  c.count = g_count.load();
  const int k = std::min(g_sites.load(), kMaxSites);
  for (int i = 0; i < k; ++i) {
    Dl_info info;
    char line[512];
    if (dladdr(g_site[i], &info) != 0 && info.dli_fname != nullptr) {
      std::snprintf(line, sizeof(line), " %s+0x%lx", info.dli_fname,
                    static_cast<unsigned long>(reinterpret_cast<uintptr_t>(g_site[i]) -
                                               reinterpret_cast<uintptr_t>(info.dli_fbase)));
    } else {
      std::snprintf(line, sizeof(line), " %p", g_site[i]);
    }
    c.sites += line;
  }
  return c;
}

#endif

[[maybe_unused]] WordInfo Record(int type, const char* text, const char* phones, float threshold) {
  WordInfo w = ToneWord::Word();
  w.WordType = type;
  std::snprintf(w.WordContent, sizeof(w.WordContent), "%s", text);
  std::snprintf(w.WordContent_Phone, sizeof(w.WordContent_Phone), "%s", phones);
  w.BlockAvgScore = threshold;
  return w;
}

// An engine set up with its model, phone table and words on disk.
struct EngineFiles {
  const char* name;
  std::string model, table;
  std::vector<WordInfo> words;
};

[[maybe_unused]] EngineFiles ToneSetup() {
  EngineFiles s{"tone word", testing_support::NnetTempPath("alloc_tones.nnet"),
          testing_support::NnetTempPath("alloc_tones.phones"), {ToneWord::Word()}};
  EXPECT_TRUE(ToneWord::WriteModel(s.model));
  EXPECT_TRUE(ToneWord::WritePhoneTable(s.table));
  return s;
}

// Hidden sigmoid layers (their own evaluation memories) and two words, one
// of each kind of right context, checked on every frame.
[[maybe_unused]] EngineFiles LayeredSetup() {
  EngineFiles s{"layered model, two words", testing_support::NnetTempPath("alloc_layered.nnet"),
          testing_support::NnetTempPath("alloc_layered.phones"), {}};
  NnetBuilder b(7, 0.05f);
  b.Affine(957, 48).Sigmoid(48).Affine(48, 48).Sigmoid(48).Affine(48, 12).Softmax(12);
  EXPECT_TRUE(b.Write(s.model));
  EXPECT_TRUE(testing_support::WritePriorFile(s.model + ".prior", std::vector<float>(12, -2.5f)));
  testing_support::PhoTableBuilder t({"sil", "a", "b", "c"});
  t.ContextFree();
  EXPECT_TRUE(t.Write(s.table));
  // Thresholds no frame reaches: the detectors only listen.
  s.words = {Record(1, "abc", "a|# b c|#", 1e6f), Record(2, "cba", "c b|# a|#", 1e6f)};
  return s;
}

struct Case {
  int setup;     // 0 tone word, 1 layered
  int channels;  // fed with the same audio
  int block;     // samples per call
};

class VtAllocTest : public ::testing::TestWithParam<Case> {};

TEST_P(VtAllocTest, SteadyListeningAllocatesNothingPerBlock) {
#if !KESTREL_ALLOC_COUNTING
  GTEST_SKIP() << "AddressSanitizer owns the allocator in this build: the counting allocator cannot replace it";
#else
  const Case c = GetParam();
  EngineFiles s = c.setup == 0 ? ToneSetup() : LayeredSetup();
  SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(c.channels) + " channel(s), blocks of " +
               std::to_string(c.block));
  ASSERT_EQ(w6_vt_sysinit(s.model.c_str(), s.table.c_str()), 0);
  const int64_t h = w6_vt_create(c.channels);
  ASSERT_NE(h, 0);
  ASSERT_EQ(w6_vt_setwords(h, s.words.data(), static_cast<int>(s.words.size())), 0);

  // 50 pipeline blocks (6 s) of quiet background: no candidate.
  constexpr int kAudioSamples = 50 * 1920;
  Scene scene;
  scene.Quiet(static_cast<double>(kAudioSamples) / ToneWord::kRate);
  const int blocks = kAudioSamples / c.block;
  std::vector<const float*> ch(c.channels);
  std::vector<Counted> per(blocks);
  int flags = 0;
  for (int b = 0; b < blocks; ++b) {
    for (int k = 0; k < c.channels; ++k) ch[k] = scene.samples.data() + static_cast<size_t>(b) * c.block;
    per[b] = Count([&] { flags |= w6_vt_process(h, ch.data(), c.block, 0); });
  }
  EXPECT_EQ(flags, 0) << "the quiet scene must not make a candidate";

  // The first call builds the detectors: the counter must see that.
  EXPECT_GT(per[0].count, 0) << "the counting allocator saw nothing: it is not in effect";
  // Warm-up: the first second of audio, in which the feature chain and the
  // network first produce rows and their matrices reach their final size.
  const int warm = ToneWord::kRate / c.block;
  for (int b = warm; b < blocks; ++b)
    EXPECT_EQ(per[b].count, 0) << "block " << b << " allocated; first call sites:" << per[b].sites;

  // A reset keeps every buffer: listening resumes without allocating, from
  // the first block on.
  w6_vt_reset(h);
  for (int b = 0; b < blocks / 2; ++b) {
    for (int k = 0; k < c.channels; ++k) ch[k] = scene.samples.data() + static_cast<size_t>(b) * c.block;
    Counted after = Count([&] { flags |= w6_vt_process(h, ch.data(), c.block, 0); });
    EXPECT_EQ(after.count, 0) << "block " << b << " after the reset allocated; first call sites:" << after.sites;
  }
  EXPECT_EQ(flags, 0);

  w6_vt_free(h);
  w6_vt_sysexit();
  std::remove(s.model.c_str());
  std::remove((s.model + ".prior").c_str());
  std::remove(s.table.c_str());
#endif
}

INSTANTIATE_TEST_SUITE_P(Blocks, VtAllocTest,
                         ::testing::Values(Case{0, 1, 1920}, Case{0, 4, 1920}, Case{0, 1, 160}, Case{0, 1, 1000},
                                           Case{1, 1, 1920}, Case{1, 2, 480}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           const Case& c = info.param;
                           return std::string(c.setup == 0 ? "Tone" : "Layered") + "_" + std::to_string(c.channels) +
                                  "ch_" + std::to_string(c.block);
                         });

}  // namespace

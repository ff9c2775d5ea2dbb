#include "engine/core/array.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

namespace __kestrel4__ {
namespace {

TEST(ArrayTest, ZeroCountsGiveNull) {
  EXPECT_EQ(z_new_ar1(4, 0), nullptr);
  EXPECT_EQ(z_new_ar2(4, 0, 5), nullptr);
  EXPECT_EQ(z_new_ar2(4, 5, 0), nullptr);
  EXPECT_EQ(z_new_sse_ar1(4, 0, 16), nullptr);
  EXPECT_EQ(z_new_sse_ar2(4, 0, 5, 16), nullptr);
  // Only the count is tested: element size 0 gives a valid empty block.
  void* empty = z_new_ar1(0, 3);
  EXPECT_NE(empty, nullptr);
  std::free(empty);
}

TEST(ArrayTest, TwoDimensionalIsOneContiguousZeroedBlock) {
  void** t = z_new_ar2(4, 3, 5);
  ASSERT_NE(t, nullptr);
  char* base = static_cast<char*>(t[0]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(static_cast<char*>(t[i]), base + 20 * i);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(base[i], 0);
  z_free_ar2(t);
}

TEST(ArrayTest, AlignedBlocksHonourTheAlignment) {
  for (size_t align : {16u, 64u}) {
    float* v = static_cast<float*>(z_new_sse_ar1(4, 33, align));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v) % align, 0u);
    for (int i = 0; i < 33; ++i) EXPECT_EQ(v[i], 0.0f);
    std::free(v);
    void** t = z_new_sse_ar2(4, 7, 8, align);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(t[0]) % align, 0u);
    EXPECT_EQ(static_cast<char*>(t[6]), static_cast<char*>(t[0]) + 6 * 32);
    z_free_ar2(t);
  }
}

TEST(ArrayTest, OverflowingSizesAreRefused) {
  EXPECT_EQ(z_new_ar1(SIZE_MAX / 2, 4), nullptr);
  EXPECT_EQ(z_new_ar2(SIZE_MAX / 2, 2, 4), nullptr);
  EXPECT_EQ(z_new_sse_ar1(SIZE_MAX / 2, 4, 16), nullptr);
  EXPECT_EQ(z_new_sse_ar2(4, SIZE_MAX / 4, 4, 16), nullptr);
}

TEST(ArrayTest, MicrophoneLists) {
  z_mic_info* d = z_getdefaultmicinfo(4);
  ASSERT_EQ(d->num, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d->ids[i], i);
  d->ids[0] = 3;
  z_mic_info* c = z_copymicinfo(d);
  EXPECT_NE(c->ids, d->ids);
  EXPECT_EQ(c->ids[0], 3);
  EXPECT_EQ(z_free_micinfo(d), 0);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(z_free_micinfo(d), 0);  // null accepted
  z_free_micinfo(c);
}

}  // namespace
}  // namespace __kestrel4__

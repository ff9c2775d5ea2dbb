#include "engine/core/io.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <vector>

namespace __kestrel4__ {
namespace {

std::vector<unsigned char> Bytes(const char* data, int n) { return std::vector<unsigned char>(data, data + n); }

TEST(TokenStreamTest, WritesTokensAndValues) {
  char* buf = nullptr;
  int used = 0;
  {
    ZBuffOutput out(buf, used, 0);
    out.WriteToken("<Nnet>");
    int seven = 7;
    out.WriteBasicType(&seven);
    float f[2] = {1.0f, -2.0f};
    out.WriteArray(f, 2);
  }
  ASSERT_EQ(used, 7 + 5 + 8);
  EXPECT_EQ(std::string(buf, 7), "<Nnet> ");
  EXPECT_EQ(Bytes(buf + 7, 5), (std::vector<unsigned char>{4, 7, 0, 0, 0}));
  std::free(buf);
}

TEST(TokenStreamTest, OnlyTheBlankEndsAToken) {
  const char data[] = "ab\ncd ef ";
  ZBuffInput in(data, 9, 2);
  EXPECT_EQ(in.ReadToken(), "ab\ncd");
  EXPECT_EQ(in.ReadToken(), "ef");
  EXPECT_TRUE(in.IsEof());
}

TEST(TokenStreamTest, LongTokensAreCutAt100) {
  std::string data(150, 'x');
  for (int i = 0; i < 150; ++i) data[i] = static_cast<char>('A' + i % 26);
  data += " ";
  ZBuffInput in(data.data(), static_cast<int>(data.size()), 2);
  std::string first = in.ReadToken();
  EXPECT_EQ(first, data.substr(0, 100));
  std::string second = in.ReadToken();
  EXPECT_EQ(second, data.substr(101, 49));  // the 101st character is lost
}

TEST(TokenStreamTest, ExpectTokenIgnoresCaseAndConsumes) {
  const char data[] = "<nnet> <Other> x ";
  ZBuffInput in(data, 17, 0);
  EXPECT_TRUE(in.ExpectToken("<Nnet>"));
  EXPECT_FALSE(in.ExpectToken("<Nnet>"));
  EXPECT_EQ(in.ReadToken(), "x");
}

TEST(TokenStreamTest, SizeByteIsNotChecked) {
  const char data[] = {0x07, 0x2A, 0x00, 0x00, 0x00};
  ZBuffInput in(data, 5, 2);
  int v = 0;
  in.ReadBasicType(&v);
  EXPECT_EQ(v, 42);
}

TEST(TokenStreamTest, MemoryInputNeverReadsPastTheEnd) {
  const char data[] = {1, 2, 3};
  ZBuffInput in(data, 3, 2);
  char dst[6] = {9, 9, 9, 9, 9, 9};
  in.ReadRawData(dst, 6);
  EXPECT_EQ(Bytes(dst, 6), (std::vector<unsigned char>{1, 2, 3, 9, 9, 9}));
  EXPECT_TRUE(in.IsEof());
  in.ReadRawData(dst, 2);  // nothing left: destination untouched
  EXPECT_EQ(dst[0], 1);
}

TEST(TokenStreamTest, MemoryOutputGrowsAndKeepsItsBytes) {
  char* buf = nullptr;
  int used = 0;
  ZBuffOutput out(buf, used, 2);
  std::vector<char> a(1000, 'a'), b(100, 'b');
  out.WriteRawData(a.data(), 1000);
  EXPECT_EQ(out.capacity, 1024);
  out.WriteRawData(b.data(), 100);
  EXPECT_EQ(out.capacity, 2124);
  ASSERT_EQ(used, 1100);
  EXPECT_EQ(buf[999], 'a');
  EXPECT_EQ(buf[1000], 'b');
  EXPECT_EQ(buf[1099], 'b');

  // A write whose size does not fit the int-sized block is dropped whole:
  // the grown size must not wrap into a block smaller than the write.
  char small[4] = {1, 2, 3, 4};
  out.WriteRawData(small, 0xFFFFFF00u);
  EXPECT_EQ(used, 1100);
  EXPECT_EQ(out.capacity, 2124);
  out.WriteRawData(small, 4);
  ASSERT_EQ(used, 1104);
  EXPECT_EQ(buf[1103], 4);
  std::free(buf);
}

TEST(TokenStreamTest, FileStreamsMarkersAndEof) {
  std::string dir = ::testing::TempDir();
  std::string p0 = dir + "/tok0_" + std::to_string(getpid());
  std::string p2 = dir + "/tok2_" + std::to_string(getpid());
  {
    ZFileOutput o0(p0.c_str(), 0);
    ASSERT_TRUE(o0.isValid());
    o0.WriteToken("ab");
    ZFileOutput o2(p2.c_str(), 2);
    o2.WriteToken("ab");
  }
  std::ifstream f0(p0, std::ios::binary), f2(p2, std::ios::binary);
  std::string s0((std::istreambuf_iterator<char>(f0)), {}), s2((std::istreambuf_iterator<char>(f2)), {});
  EXPECT_EQ(s0, std::string("\0B", 2) + "ab ");
  EXPECT_EQ(s2, "ab ");

  // A token running into the end of a file repeats its last character up
  // to 100 characters; an empty rest gives 100 zero characters.
  ZFileInput in(p2.c_str(), 2);
  ASSERT_TRUE(in.isValid());
  EXPECT_EQ(in.ReadToken(), "ab");
  EXPECT_EQ(in.ReadToken(), std::string(100, '\0'));
  EXPECT_TRUE(in.IsEof());
  ZFileInput missing("/nonexistent/model", 0);
  EXPECT_FALSE(missing.isValid());
  std::remove(p0.c_str());
  std::remove(p2.c_str());
}

}  // namespace
}  // namespace __kestrel4__

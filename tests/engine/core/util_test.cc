#include "engine/core/util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

std::string TempPath(const char* name) {
  return std::string(::testing::TempDir()) + "/" + name + "_" + std::to_string(getpid());
}

TEST(UtilTest, GcdAndLcm) {
  EXPECT_EQ(z_gcd(12, 18), 6);
  EXPECT_EQ(z_gcd(-12, 18), 6);
  EXPECT_EQ(z_gcd(18, 12), 6);
  EXPECT_EQ(z_gcd(7, 1), 1);
  EXPECT_EQ(z_lcm(4, 6), 12);
  EXPECT_EQ(z_lcm(16000, 48000), 48000);
}

TEST(UtilTest, LogAdd) {
  EXPECT_EQ(z_log_add(0.0f, -25.0f), 0.0f);
  EXPECT_EQ(z_log_add(-25.0f, 0.0f), 0.0f);
  EXPECT_FLOAT_EQ(z_log_add(0.0f, 0.0f), std::log(2.0f));
  EXPECT_EQ(z_log_add(-6e9f, -7e9f), -1.0e10f);
  // The logarithm is rounded to float before a float addition; adding it
  // to the larger argument in double and rounding once gives other bits.
  struct Case {
    float a, b, sum;
  } cases[] = {
      {0x1.02752p+1f, 0x1.921ep-4f, 0x1.13f3b8p+1f},
      {-0x1.902d8p+1f, -0x1.d87fp+0f, -0x1.99bb54p+0f},
      {0x1.955ae8p+3f, 0x1.d7047p+3f, 0x1.dae2a8p+3f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a);
    EXPECT_EQ(z_log_add(c.a, c.b), c.sum);
    EXPECT_EQ(z_log_add(c.b, c.a), c.sum);
  }
}

TEST(UtilTest, RandomDrawsStayInRange) {
  for (int i = 0; i < 1000; ++i) {
    float u = z_randuniform();
    EXPECT_GT(u, 0.0f);
    EXPECT_LT(u, 1.0f);
  }
  double sum = 0, sum2 = 0;
  const int n = 20000;
  for (int i = 0; i < n; ++i) {
    double g = z_randgauss();
    sum += g;
    sum2 += g * g;
  }
  EXPECT_NEAR(sum / n, 0.0, 0.05);
  EXPECT_NEAR(sum2 / n, 1.0, 0.05);

  // Box-Muller takes the radius from the first draw and the angle from the
  // second; the square root in float, the product in double.
  srand48(2024);
  double d1 = (lrand48() + 1.0) / 2147483649.0;
  double d2 = (lrand48() + 1.0) / 2147483649.0;
  float u1 = static_cast<float>(d1), u2 = static_cast<float>(d2);
  float radius = sqrtf(-2.0f * logf(u1));
  float expected = static_cast<float>(radius * std::cos(2.0 * M_PI * u2));
  srand48(2024);
  EXPECT_EQ(z_randuniform(), u1);
  EXPECT_EQ(z_randuniform(), u2);
  srand48(2024);
  EXPECT_EQ(z_randgauss(), expected);
}

TEST(UtilTest, FileContentListCutsAndTrims) {
  std::string path = TempPath("lines.txt");
  {
    std::ofstream f(path, std::ios::binary);
    f << "a  \n\n\tb\r\n   \nlast";
  }
  std::vector<std::string> lines = GetFileContentLst(path.c_str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "a");
  EXPECT_EQ(lines[1], "\tb");
  EXPECT_EQ(lines[2], "last");
  std::remove(path.c_str());

  testing_support::LogCapture log;
  EXPECT_TRUE(GetFileContentLst("/nonexistent/table.txt").empty());
  EXPECT_TRUE(log.Has("Failed to load file /nonexistent/table.txt", 6)) << log.Dump();
}

TEST(UtilTest, LongLinesArriveInPieces) {
  std::string path = TempPath("long.txt");
  {
    std::ofstream f(path, std::ios::binary);
    f << std::string(6000, 'x') << "\n";
  }
  std::vector<std::string> lines = GetFileContentLst(path.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 5119u);
  EXPECT_EQ(lines[1].size(), 881u);
  std::remove(path.c_str());
}

TEST(UtilTest, SplitAndNames) {
  EXPECT_EQ(z_str_split(",1,,2,", ","), (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(z_str_split("a b\tc", " \t"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(z_str_split(",,,", ",").empty());
  EXPECT_EQ(GetFileName("dir\\sub/x.wav"), "sub/x.wav");
  EXPECT_EQ(GetFileName("dir/x.wav"), "x.wav");
  EXPECT_EQ(GetFileName("x.wav"), "x.wav");
  EXPECT_TRUE(CheckID("RIFFxxxx", 'R', 'I', 'F', 'F'));
  EXPECT_FALSE(CheckID("RIFXxxxx", 'R', 'I', 'F', 'F'));
}

TEST(UtilTest, DirectoriesAndFileLists) {
  std::string dir = TempPath("tree") + "/a/b";
  EXPECT_EQ(z_mkdir(dir.c_str()), 0);
  for (const char* name : {"one.WAV", "two.wav", "three.pcm", "noext"}) {
    std::ofstream((dir + "/" + name).c_str()) << "x";
  }
  z_mkdir((dir + "/sub.wav").c_str());  // a directory with the extension
  std::vector<std::string> files = z_getfilelist(dir.c_str(), "wav");
  std::sort(files.begin(), files.end());
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], dir + "/one.WAV");
  EXPECT_EQ(files[1], dir + "/two.wav");
  EXPECT_TRUE(z_getfilelist((dir + "/missing").c_str(), "wav").empty());
}

TEST(UtilTest, DateTimeCounterAdvances) {
  std::string a = z_getdatatime();
  std::string b = z_getdatatime();
  size_t ua = a.rfind('_'), ub = b.rfind('_');
  ASSERT_NE(ua, std::string::npos);
  EXPECT_EQ(std::stoi(b.substr(ub + 1)), std::stoi(a.substr(ua + 1)) + 1);
  EXPECT_EQ(a.size(), std::string("2026-12-11_10-00-00_").size() + a.substr(ua + 1).size());
}

TEST(UtilTest, DumpWriters) {
  std::string dir = TempPath("dump");
  z_mkdir(dir.c_str());
  float values[3] = {1.5f, -2.0f, 0.25f};
  EXPECT_EQ(z_storedata_vec2(dir.c_str(), 7, values, 3), 0);
  std::ifstream f(dir + "/7.dat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, " 1.500000\n -2.000000\n 0.250000\n");
  std::string bin = dir + "/v.bin";
  EXPECT_EQ(z_storedata_vec(bin.c_str(), values, 3), 0);
  std::ifstream g(bin, std::ios::binary | std::ios::ate);
  EXPECT_EQ(static_cast<int>(g.tellg()), 12);
  float* rows[2] = {values, values + 1};
  EXPECT_EQ(z_storedata_mat((dir + "/m.bin").c_str(), rows, 2, 2), 0);
  std::ifstream m(dir + "/m.bin", std::ios::binary);
  float back[5] = {};
  m.read(reinterpret_cast<char*>(back), sizeof(back));
  EXPECT_EQ(m.gcount(), 16);  // row after row, no header
  EXPECT_EQ(back[0], 1.5f);
  EXPECT_EQ(back[1], -2.0f);
  EXPECT_EQ(back[2], -2.0f);
  EXPECT_EQ(back[3], 0.25f);
  EXPECT_EQ(z_storedata_vec("/nonexistent/dir/v.bin", values, 3), 0);  // skipped, still 0
}

}  // namespace
}  // namespace __kestrel4__

// WAV and raw PCM input and WAV output. Fixtures are written byte by byte by
// a small builder here, so each case shows exactly which header it carries.
#include "engine/rs/aud.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "include/kestrel.h"
#include "tests/support/log_capture.h"

namespace __kestrel4__ {
namespace {

using Bytes = std::vector<uint8_t>;

std::string TempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/aud_" + std::to_string(getpid()) + "_" + name;
}

void Put16(Bytes* b, uint32_t v) {
  b->push_back(static_cast<uint8_t>(v));
  b->push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes* b, uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}
void PutTag(Bytes* b, const char* t) { b->insert(b->end(), t, t + 4); }

// A WAV file from its header fields and sample bytes. dataSize < 0 stores
// the true size of `data`.
struct Wav {
  int tag = 1;
  int channels = 1;
  uint32_t rate = 16000;
  int bits = 16;
  int fmtSize = 16;
  bool fact = false;
  uint32_t factSize = 4;
  Bytes data;
  int64_t dataSize = -1;

  Bytes Build() const {
    Bytes b;
    PutTag(&b, "RIFF");
    Put32(&b, 0);  // patched below
    PutTag(&b, "WAVE");
    PutTag(&b, "fmt ");
    Put32(&b, static_cast<uint32_t>(fmtSize));
    Put16(&b, static_cast<uint32_t>(tag));
    Put16(&b, static_cast<uint32_t>(channels));
    Put32(&b, rate);
    Put32(&b, rate * static_cast<uint32_t>(channels * bits / 8));
    Put16(&b, static_cast<uint32_t>(channels * bits / 8));
    Put16(&b, static_cast<uint32_t>(bits));
    if (fmtSize == 18) Put16(&b, 0);
    if (fact) {
      PutTag(&b, "fact");
      Put32(&b, factSize);
      for (uint32_t i = 0; i < factSize && i < 64; ++i) b.push_back(0);
    }
    PutTag(&b, "data");
    Put32(&b, dataSize < 0 ? static_cast<uint32_t>(data.size()) : static_cast<uint32_t>(dataSize));
    b.insert(b.end(), data.begin(), data.end());
    const uint32_t riff = static_cast<uint32_t>(b.size() - 8);
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(riff >> (8 * i));
    return b;
  }
};

void WriteFile(const std::string& path, const Bytes& b) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  if (!b.empty()) {
    ASSERT_EQ(std::fwrite(b.data(), 1, b.size(), f), b.size());
  }
  std::fclose(f);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct AudDeleter {
  void operator()(w6_aud_data* a) const { w6_aud_free(a); }
};
using Aud = std::unique_ptr<w6_aud_data, AudDeleter>;

Bytes Samples16(const std::vector<int>& v) {
  Bytes b;
  for (int s : v) Put16(&b, static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(s))));
  return b;
}

// G.711 decoders written from the companding curves rather than the bit
// recipe: A-law segment s >= 1 spans 2^(s+4) with 16 steps of 2^(s+1),
// segment 0 is linear in steps of 16; mu-law segment e is the biased
// (33 + 2m) * 2^e - 33 scaled by 4.
int AlawReference(uint8_t code) {
  const uint8_t a = code ^ 0x55;
  const int seg = (a >> 4) & 7, m = a & 15;
  const int mag = seg == 0 ? 16 * m + 8 : (1 << (seg + 7)) + m * (1 << (seg + 3)) + (1 << (seg + 2));
  return (a & 0x80) ? mag : -mag;
}
int UlawReference(uint8_t code) {
  const uint8_t u = static_cast<uint8_t>(~code);
  const int e = (u >> 4) & 7, m = u & 15;
  const int mag = 4 * ((33 + 2 * m) * (1 << e) - 33);
  return (u & 0x80) ? -mag : mag;
}

TEST(AudTest, CompandingDecodesMatchTheCurves) {
  for (int c = 0; c < 256; ++c) {
    EXPECT_EQ(z_alaw_decode(static_cast<uint8_t>(c)), AlawReference(static_cast<uint8_t>(c))) << c;
    EXPECT_EQ(z_ulaw_decode(static_cast<uint8_t>(c)), UlawReference(static_cast<uint8_t>(c))) << c;
  }
  // Fixed points of the standard tables.
  EXPECT_EQ(z_alaw_decode(0xD5), 8);
  EXPECT_EQ(z_alaw_decode(0x55), -8);
  EXPECT_EQ(z_alaw_decode(0xAA), 32256);
  EXPECT_EQ(z_alaw_decode(0x2A), -32256);
  EXPECT_EQ(z_ulaw_decode(0xFF), 0);
  EXPECT_EQ(z_ulaw_decode(0x7F), 0);
  EXPECT_EQ(z_ulaw_decode(0x80), 32124);
  EXPECT_EQ(z_ulaw_decode(0x00), -32124);
}

TEST(AudTest, EverySupportedFormatReadsAtTheSixteenBitScale) {
  struct Case {
    const char* name;
    int tag, bits, channels;
    Bytes data;
    std::vector<std::vector<float>> expected;  // per channel
  };
  auto bytes32 = [](std::vector<uint32_t> v) {
    Bytes b;
    for (uint32_t x : v) Put32(&b, x);
    return b;
  };
  auto floatBits = [](float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
  };
  std::vector<Case> cases = {
      {"pcm8", 1, 8, 1, {0, 128, 255, 1}, {{-32768, 0, 32512, -32512}}},
      {"alaw", 6, 8, 2, {0xD5, 0xAA, 0x55, 0x2A}, {{8, -8}, {32256, -32256}}},
      {"ulaw", 7, 8, 1, {0xFF, 0x80, 0x00, 0xEF}, {{0, 32124, -32124, static_cast<float>(UlawReference(0xEF))}}},
      {"pcm16", 1, 16, 3, Samples16({1000, -32768, 32767, -1, 0, 7}), {{1000, -1}, {-32768, 0}, {32767, 7}}},
      // 32-bit integers: full scale 2^31 reads as 2^15, truncated toward zero.
      {"pcm32",
       1,
       32,
       1,
       bytes32({0x7FFFFFFFu, 0x80000000u, 1000u << 16, static_cast<uint32_t>(-65537), 65535u}),
       {{32767, -32768, 1000, -1, 0}}},
      {"float32",
       3,
       32,
       2,
       bytes32({floatBits(0.5f), floatBits(-1.0f), floatBits(1e-3f), floatBits(0.0f)}),
       {{16384, 1e-3f * 32768.0f}, {-32768, 0}}},
      // 16-bit samples whatever the tag says.
      {"pcm16-tag3", 3, 16, 1, Samples16({-5, 5}), {{-5, 5}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Wav w;
    w.tag = c.tag;
    w.bits = c.bits;
    w.channels = c.channels;
    w.rate = 8000;
    w.data = c.data;
    const std::string path = TempPath(std::string(c.name) + ".wav");
    WriteFile(path, w.Build());
    for (int rate : {0, 8000}) {
      Aud a(w6_aud_in(path.c_str(), rate));
      ASSERT_NE(a, nullptr);
      EXPECT_EQ(a->channels, c.channels);
      EXPECT_EQ(a->rate, 8000);
      ASSERT_EQ(a->samples, static_cast<int>(c.expected[0].size()));
      for (int ch = 0; ch < c.channels; ++ch) {
        for (int i = 0; i < a->samples; ++i) EXPECT_EQ(a->data[ch][i], c.expected[ch][i]) << ch << "," << i;
      }
    }
    std::remove(path.c_str());
  }
}

TEST(AudTest, LongFormatChunkAndFactChunkAreSkipped) {
  Wav w;
  w.fmtSize = 18;
  w.fact = true;
  w.tag = 3;
  w.bits = 32;
  Put32(&w.data, 0x3F000000u);  // 0.5f
  Put32(&w.data, 0xBE800000u);  // -0.25f
  const std::string path = TempPath("fact.wav");
  WriteFile(path, w.Build());
  Aud a(ReadWav(path.c_str()));
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->samples, 2);
  EXPECT_EQ(a->data[0][0], 16384.0f);
  EXPECT_EQ(a->data[0][1], -8192.0f);
  std::remove(path.c_str());
}

TEST(AudTest, ExtensionDecidesTheReader) {
  Wav w;
  w.data = Samples16({1000, -3});
  const std::string upper = TempPath("x.WAV");
  WriteFile(upper, w.Build());
  {
    Aud a(w6_aud_in(upper.c_str(), 16000));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->data[0][0], 1000.0f);
    EXPECT_EQ(a->data[0][1], -3.0f);
  }
  {
    // The path is cut at its first line break, and trailing blanks go.
    Aud a(w6_aud_in((upper + "  \r\nrest").c_str(), 0));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->samples, 2);
  }
  struct Case {
    std::string path, ext;
  } unsupported[] = {{TempPath("x.mp3"), "mp3"}, {TempPath("noext"), ""}, {TempPath("x.wav.gz"), "gz"}};
  for (const Case& c : unsupported) {
    testing_support::LogCapture log;
    EXPECT_EQ(w6_aud_in(c.path.c_str(), 0), nullptr);
    EXPECT_TRUE(log.Has("Error in Read Audio File, Not Support Format " + c.ext, 6)) << log.Dump();
  }
  {
    testing_support::LogCapture log;
    EXPECT_EQ(w6_aud_in(std::string(2000, 'a').append(".wav").c_str(), 0), nullptr);
    EXPECT_TRUE(log.Contains("path longer than")) << log.Dump();
  }
  // A file that does not exist fails quietly.
  EXPECT_EQ(w6_aud_in(TempPath("missing.wav").c_str(), 0), nullptr);
  EXPECT_EQ(w6_aud_in(TempPath("missing.pcm").c_str(), 0), nullptr);
  std::remove(upper.c_str());
}

TEST(AudTest, RawPcmFiles) {
  const std::string path = TempPath("raw.pcm");
  const float values[] = {1.5f, -32768.0f, 3e4f};
  Bytes b(reinterpret_cast<const uint8_t*>(values), reinterpret_cast<const uint8_t*>(values) + sizeof(values));
  b.push_back(0x7F);  // a stray byte short of a float is ignored
  WriteFile(path, b);
  Aud a(w6_aud_in(path.c_str(), 0));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->channels, 1);
  EXPECT_EQ(a->rate, 16000);
  ASSERT_EQ(a->samples, 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(a->data[0][i], values[i]);

  for (size_t size : {0u, 3u}) {
    WriteFile(path, Bytes(size, 1));
    testing_support::LogCapture log;
    EXPECT_EQ(ReadPcm(path.c_str()), nullptr);
    EXPECT_TRUE(log.Has("Empty pcm file " + path, 6)) << log.Dump();
  }
  std::remove(path.c_str());
}

// Headers that lie or files that end early: a null record and a log line,
// never a read past the data or an allocation sized by the lie.
TEST(AudTest, MalformedWavFilesAreRefused) {
  struct Case {
    const char* name;
    Bytes bytes;
    const char* log;
  };
  auto wav = [](auto edit) {
    Wav w;
    w.data = Samples16({1, 2, 3, 4});
    edit(&w);
    return w.Build();
  };
  Bytes good = wav([](Wav*) {});
  Bytes notRiff = good;
  notRiff[0] = 'X';
  Bytes listChunk = good;
  std::memcpy(&listChunk[36], "LIST", 4);
  std::vector<Case> cases = {
      {"empty", {}, "the header is truncated"},
      {"short header", Bytes(good.begin(), good.begin() + 30), "the header is truncated"},
      {"no chunk header", Bytes(good.begin(), good.begin() + 40), "the header is truncated"},
      {"not RIFF", notRiff, "not a RIFF WAVE file"},
      {"format chunk of 40 bytes", wav([](Wav* w) { w->fmtSize = 40; }), "format chunk size"},
      {"other chunk before data", listChunk, "no data chunk"},
      {"fact beyond the end", wav([](Wav* w) { w->fact = true; w->factSize = 0x7FFFFFF0u; }),
       "the header is truncated"},
      {"zero channels", wav([](Wav* w) { w->channels = 0; }), "declares no channels"},
      {"zero rate", wav([](Wav* w) { w->rate = 0; }), "sample rate"},
      {"negative rate", wav([](Wav* w) { w->rate = 0x80000000u; }), "sample rate"},
      {"bits 0", wav([](Wav* w) { w->bits = 0; }), "Error Format in Open File"},
      {"bits 12", wav([](Wav* w) { w->bits = 12; }), "Error Format in Open File"},
      {"bits 24", wav([](Wav* w) { w->bits = 24; }), "Error Format in Open File"},
      {"8 bits as float", wav([](Wav* w) { w->bits = 8; w->tag = 3; }), "Error Format in Open File"},
      {"32 bits as A-law", wav([](Wav* w) { w->bits = 32; w->tag = 6; }), "Error Format in Open File"},
      {"data beyond the end", wav([](Wav* w) { w->dataSize = 9; }), "past the end"},
      {"huge data size", wav([](Wav* w) { w->dataSize = 0xFFFFFFF0u; w->channels = 1; w->bits = 8; }),
       "past the end"},
      {"huge channel count", wav([](Wav* w) { w->channels = 65535; w->bits = 32; w->dataSize = 0xFFFFFFFFu; }),
       "past the end"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = TempPath("bad.wav");
    WriteFile(path, c.bytes);
    testing_support::LogCapture log;
    EXPECT_EQ(w6_aud_in(path.c_str(), 0), nullptr);
    EXPECT_TRUE(log.Contains(c.log)) << log.Dump();
    std::remove(path.c_str());
  }
}

TEST(AudTest, ReadingWithARateConverts) {
  Wav w;
  w.rate = 48000;
  w.channels = 2;
  std::vector<int> v;
  for (int i = 0; i < 1000; ++i) {
    v.push_back(3000);
    v.push_back(-3000);
  }
  w.data = Samples16(v);
  const std::string path = TempPath("48k.wav");
  WriteFile(path, w.Build());
  Aud a(w6_aud_in(path.c_str(), 16000));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->rate, 16000);
  EXPECT_EQ(a->channels, 2);
  EXPECT_EQ(a->samples, 1000 / 480 * 160);  // whole batches of 480 inputs only
  EXPECT_NEAR(a->data[0][250], 3000.0f, 6.0f);
  EXPECT_NEAR(a->data[1][250], -3000.0f, 6.0f);

  // A rate the converter cannot reach from the file's fails as a whole.
  w.rate = 44101;
  WriteFile(path, w.Build());
  testing_support::LogCapture log;
  EXPECT_EQ(w6_aud_in(path.c_str(), 16000), nullptr);
  EXPECT_TRUE(log.Contains("cannot convert 44101 Hz to 16000 Hz")) << log.Dump();
  Aud asRead(w6_aud_in(path.c_str(), 0));
  ASSERT_NE(asRead, nullptr);
  EXPECT_EQ(asRead->rate, 44101);
  std::remove(path.c_str());
}

TEST(AudTest, EmptyDataChunkGivesAnEmptyRecord) {
  Wav w;
  w.channels = 2;
  const std::string path = TempPath("nodata.wav");
  WriteFile(path, w.Build());
  Aud a(ReadWav(path.c_str()));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->channels, 2);
  EXPECT_EQ(a->samples, 0);
  EXPECT_EQ(a->data, nullptr);
  std::remove(path.c_str());
}

TEST(AudTest, RecordAllocation) {
  Aud a(w6_aud_malloc(3, 8000, 5));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->channels, 3);
  EXPECT_EQ(a->rate, 8000);
  EXPECT_EQ(a->samples, 5);
  // One contiguous zeroed block under the row table.
  EXPECT_EQ(a->data[2], a->data[0] + 10);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(a->data[0][i], 0.0f);
  Aud empty(w6_aud_malloc(2, 8000, 0));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->data, nullptr);
  testing_support::LogCapture log;
  EXPECT_EQ(w6_aud_malloc(-1, 8000, 5), nullptr);
  EXPECT_EQ(w6_aud_malloc(1, 8000, -5), nullptr);
  EXPECT_TRUE(log.Contains("Error in w6_aud_malloc")) << log.Dump();
  EXPECT_EQ(w6_aud_free(nullptr), 0);
}

Bytes ExpectedHeader(int channels, int rate, uint32_t dataBytes) {
  Bytes b;
  PutTag(&b, "RIFF");
  Put32(&b, dataBytes + 36);
  PutTag(&b, "WAVE");
  PutTag(&b, "fmt ");
  Put32(&b, 16);
  Put16(&b, 1);
  Put16(&b, static_cast<uint32_t>(channels));
  Put32(&b, static_cast<uint32_t>(rate));
  Put32(&b, static_cast<uint32_t>(rate * channels * 2));
  Put16(&b, static_cast<uint32_t>(channels * 2));
  Put16(&b, 16);
  PutTag(&b, "data");
  Put32(&b, dataBytes);
  return b;
}

TEST(AudTest, WritingScalesOnlyLoudAudio) {
  struct Case {
    const char* name;
    std::vector<float> ch0, ch1;
    std::vector<int> interleaved;
  } cases[] = {
      {"within range", {1000.9f, 32000.0f, 0.5f}, {-1000.9f, -32000.0f, -0.5f}, {1000, -1000, 32000, -32000, 0, 0}},
      {"peak 64000 halves", {64000.0f, 3.9f}, {-32000.0f, -3.9f}, {32000, -16000, 1, -1}},
      {"non-finite samples", {std::numeric_limits<float>::infinity(), 100.0f},
       {std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()}, {0, 0, 100, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int n = static_cast<int>(c.ch0.size());
    Aud a(w6_aud_malloc(2, 22050, n));
    for (int i = 0; i < n; ++i) {
      a->data[0][i] = c.ch0[i];
      a->data[1][i] = c.ch1[i];
    }
    const std::string path = TempPath("out.wav");
    ASSERT_EQ(w6_aud_out(path.c_str(), a.get()), 0);
    Bytes expected = ExpectedHeader(2, 22050, static_cast<uint32_t>(n * 4));
    Bytes samples = Samples16(c.interleaved);
    expected.insert(expected.end(), samples.begin(), samples.end());
    EXPECT_EQ(ReadFile(path), expected);
    std::remove(path.c_str());
  }
}

TEST(AudTest, WrittenFilesReadBack) {
  Aud a(w6_aud_malloc(3, 16000, 40000));  // more than one write chunk
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < a->samples; ++i) a->data[c][i] = static_cast<float>((i * 7 + c * 1000) % 60001 - 30000);
  }
  const std::string path = TempPath("round.wav");
  ASSERT_EQ(w6_aud_out(path.c_str(), a.get()), 0);
  Aud b(w6_aud_in(path.c_str(), 16000));
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->channels, 3);
  ASSERT_EQ(b->samples, a->samples);
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < a->samples; ++i) ASSERT_EQ(b->data[c][i], a->data[c][i]) << c << "," << i;
  }
  std::remove(path.c_str());
}

TEST(AudTest, WritingFailuresAreReported) {
  Aud a(w6_aud_malloc(1, 16000, 4));
  testing_support::LogCapture log;
  EXPECT_EQ(w6_aud_out(TempPath("no/such/dir/x.wav").c_str(), a.get()), -1);
  EXPECT_EQ(w6_aud_out(TempPath("null.wav").c_str(), nullptr), -1);
  Aud none(w6_aud_malloc(0, 16000, 0));
  EXPECT_EQ(w6_aud_out(TempPath("none.wav").c_str(), none.get()), -1);
  EXPECT_TRUE(log.Contains("Error in w6_aud_out")) << log.Dump();
  if (access("/dev/full", W_OK) == 0) {
    EXPECT_EQ(w6_aud_out("/dev/full", a.get()), -1);  // a full disk is not a success
  }
}

// A record filled in by hand that claims samples but carries no data block,
// and a missing path: refused with a line, never dereferenced.
TEST(AudTest, RecordsWithoutDataAndMissingPathsAreRefused) {
  w6_aud_data hollow = {1, 16000, 10, nullptr};
  testing_support::LogCapture log;
  EXPECT_EQ(w6_aud_out(TempPath("hollow.wav").c_str(), &hollow), -1);
  EXPECT_EQ(w6_aud_rs(&hollow, 8000), nullptr);
  Aud a(w6_aud_malloc(1, 16000, 4));
  EXPECT_EQ(w6_aud_out(nullptr, a.get()), -1);
  EXPECT_TRUE(log.Contains("Error in w6_aud_out: nothing to write")) << log.Dump();
  EXPECT_TRUE(log.Contains("Error in w6_aud_rs: no audio to convert")) << log.Dump();
  EXPECT_TRUE(log.Contains("Error in w6_aud_out: no path")) << log.Dump();
}

}  // namespace
}  // namespace __kestrel4__

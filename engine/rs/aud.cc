#include "engine/rs/aud.h"

#include <sys/types.h>
#include <strings.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/array.h"
#include "engine/core/log.h"
#include "engine/core/util.h"
#include "engine/rs/rs_mem.h"

namespace __kestrel4__ {

namespace {

constexpr size_t kMaxPath = 1023;
constexpr size_t kChunkBytes = 1 << 16;

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void PutLe16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void PutLe32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

bool Tag(const unsigned char* p, const char* id) {
  return CheckID(reinterpret_cast<const char*>(p), id[0], id[1], id[2], id[3]);
}

// Bytes from the current position to the end of the file; -1 when unknown.
int64_t Remaining(FILE* f) {
  const off_t here = ftello(f);
  if (here < 0 || fseeko(f, 0, SEEK_END) != 0) return -1;
  const off_t end = ftello(f);
  if (end < 0 || fseeko(f, here, SEEK_SET) != 0) return -1;
  return static_cast<int64_t>(end) - here;
}

bool ReadExact(FILE* f, unsigned char* p, size_t n) { return std::fread(p, 1, n, f) == n; }

// Skips n bytes that are known to lie inside the file.
bool Skip(FILE* f, uint32_t n) { return fseeko(f, static_cast<off_t>(n), SEEK_CUR) == 0; }

w6_aud_data* NewRecord(int channels, int rate, int samples) {
  w6_aud_data* aud = static_cast<w6_aud_data*>(std::calloc(1, sizeof(w6_aud_data)));
  if (aud == nullptr) return nullptr;
  aud->channels = channels;
  aud->rate = rate;
  aud->samples = samples;
  if (channels > 0 && samples > 0) {
    aud->data = reinterpret_cast<float**>(
        z_new_ar2(sizeof(float), static_cast<size_t>(channels), static_cast<size_t>(samples)));
    if (aud->data == nullptr) {
      std::free(aud);
      return nullptr;
    }
  }
  return aud;
}

// One sample of a WAV frame at the 16-bit scale; the combination of bits and
// format tag has been checked.
float Decode(const unsigned char* p, int bits, int tag) {
  switch (bits) {
    case 8:
      if (tag == 6) return static_cast<float>(z_alaw_decode(p[0]));
      if (tag == 7) return static_cast<float>(z_ulaw_decode(p[0]));
      return static_cast<float>((static_cast<int>(p[0]) - 128) * 256);
    case 16:
      return static_cast<float>(static_cast<int16_t>(Le16(p)));
    default:
      if (tag == 3) {
        uint32_t u = Le32(p);
        float f;
        std::memcpy(&f, &u, sizeof(f));
        return f * 32768.0f;
      }
      // Full scale 2^31 maps to 2^15, the 16-bit scale of the other formats.
      return static_cast<float>(static_cast<int32_t>(Le32(p)) / 65536);
  }
}

bool Supported(int bits, int tag) {
  if (bits == 8) return tag == 1 || tag == 6 || tag == 7;
  if (bits == 16) return true;
  if (bits == 32) return tag == 1 || tag == 3;
  return false;
}

// The path as the line reader would cut it: up to the end of its first run
// of characters other than CR, LF and tab (characters of that kind in front
// of it stay), without trailing blanks.
std::string CutPath(const char* path) {
  const size_t n = std::strlen(path);
  size_t i = 0;
  while (i < n && (path[i] == '\r' || path[i] == '\n' || path[i] == '\t')) ++i;
  while (i < n && path[i] != '\r' && path[i] != '\n' && path[i] != '\t') ++i;
  while (i > 0 && path[i - 1] == ' ') --i;
  return std::string(path, i);
}

}  // namespace

int z_alaw_decode(unsigned char a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  const int seg = (a & 0x70) >> 4;
  if (seg == 0) {
    t += 8;
  } else {
    t += 0x108;
    t <<= seg - 1;
  }
  return (a & 0x80) ? t : -t;
}

int z_ulaw_decode(unsigned char u) {
  u = static_cast<unsigned char>(~u);
  const int exponent = (u >> 4) & 0x07;
  const int t = (((u & 0x0F) << 3) + 0x84) << exponent;
  return (u & 0x80) ? (0x84 - t) : (t - 0x84);
}

w6_aud_data* ReadWav(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  w6_aud_data* aud = nullptr;
  unsigned char head[36];
  unsigned char chunk[8];
  const char* problem = nullptr;
  do {
    if (!ReadExact(f, head, 12) || !ReadExact(f, head + 12, 24)) {
      problem = "the header is truncated";
      break;
    }
    if (!Tag(head, "RIFF") || !Tag(head + 8, "WAVE") || !Tag(head + 12, "fmt ")) {
      problem = "it is not a RIFF WAVE file with a leading format chunk";
      break;
    }
    const uint32_t fmtSize = Le32(head + 16);
    if (fmtSize != 16 && fmtSize != 18) {
      problem = "its format chunk size is not supported";
      break;
    }
    if (fmtSize == 18 && !ReadExact(f, chunk, 2)) {
      problem = "the header is truncated";
      break;
    }
    if (!ReadExact(f, chunk, 8)) {
      problem = "the header is truncated";
      break;
    }
    if (Tag(chunk, "fact")) {
      const int64_t left = Remaining(f);
      if (left < 0 || Le32(chunk + 4) > left || !Skip(f, Le32(chunk + 4)) || !ReadExact(f, chunk, 8)) {
        problem = "the header is truncated";
        break;
      }
    }
    if (!Tag(chunk, "data")) {
      problem = "no data chunk follows the format chunk";
      break;
    }
    const int tag = Le16(head + 20);
    const int channels = Le16(head + 22);
    const uint32_t rate = Le32(head + 24);
    const int bits = Le16(head + 34);
    const uint32_t dataSize = Le32(chunk + 4);
    if (channels == 0) {
      problem = "it declares no channels";
      break;
    }
    if (rate == 0 || rate > INT32_MAX) {
      problem = "its sample rate is out of range";
      break;
    }
    if (!Supported(bits, tag)) {
      z_log(kLogError, "Error Format in Open File %s", path);
      std::fclose(f);
      return nullptr;
    }
    const int64_t left = Remaining(f);
    if (left < 0 || dataSize > left) {
      problem = "its data chunk runs past the end of the file";
      break;
    }
    const size_t sampleBytes = static_cast<size_t>(bits / 8);
    const size_t frameBytes = sampleBytes * static_cast<size_t>(channels);
    const uint64_t samples = dataSize / frameBytes;
    if (samples > INT32_MAX) {
      problem = "it holds too many samples";
      break;
    }
    aud = NewRecord(channels, static_cast<int>(rate), static_cast<int>(samples));
    if (aud == nullptr) {
      problem = "its samples do not fit in memory";
      break;
    }
    // Read whole frames a chunk at a time, de-interleaving as we go.
    const size_t framesPerChunk = frameBytes >= kChunkBytes ? 1 : kChunkBytes / frameBytes;
    std::vector<unsigned char> buf(framesPerChunk * frameBytes);
    uint64_t done = 0;
    while (done < samples) {
      const size_t frames = static_cast<size_t>(
          samples - done < framesPerChunk ? samples - done : static_cast<uint64_t>(framesPerChunk));
      if (!ReadExact(f, buf.data(), frames * frameBytes)) {
        problem = "the file ended early";
        break;
      }
      const unsigned char* p = buf.data();
      for (size_t s = 0; s < frames; ++s) {
        for (int c = 0; c < channels; ++c, p += sampleBytes) aud->data[c][done + s] = Decode(p, bits, tag);
      }
      done += frames;
    }
  } while (false);
  std::fclose(f);
  if (problem != nullptr) {
    z_log(kLogError, "Error in ReadWav, cannot read %s: %s", path, problem);
    w6_aud_free(aud);
    return nullptr;
  }
  return aud;
}

w6_aud_data* ReadPcm(const char* path) {
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return nullptr;
  const int64_t size = Remaining(f);
  if (size >= 0 && size < 4) {
    z_log(kLogError, "Empty pcm file %s", path);
    std::fclose(f);
    return nullptr;
  }
  const char* problem = nullptr;
  w6_aud_data* aud = nullptr;
  if (size < 0) {
    problem = "its size cannot be determined";
  } else if (size / 4 > INT32_MAX) {
    problem = "it holds too many samples";
  } else {
    aud = NewRecord(1, 16000, static_cast<int>(size / 4));
    if (aud == nullptr) {
      problem = "its samples do not fit in memory";
    } else if (std::fread(aud->data[0], sizeof(float), static_cast<size_t>(aud->samples), f) !=
               static_cast<size_t>(aud->samples)) {
      problem = "the file ended early";
    }
  }
  std::fclose(f);
  if (problem != nullptr) {
    z_log(kLogError, "Error in ReadPcm, cannot read %s: %s", path, problem);
    w6_aud_free(aud);
    return nullptr;
  }
  return aud;
}

}  // namespace __kestrel4__

using namespace __kestrel4__;

KESTREL_API w6_aud_data* w6_aud_malloc(int channels, int rate, int samples) {
  if (channels < 0 || samples < 0) {
    z_log(kLogError, "Error in w6_aud_malloc: %d channels, %d samples", channels, samples);
    return nullptr;
  }
  w6_aud_data* aud = NewRecord(channels, rate, samples);
  if (aud == nullptr) z_log(kLogError, "Error in w6_aud_malloc: out of memory");
  return aud;
}

KESTREL_API int w6_aud_free(w6_aud_data* aud) {
  if (aud != nullptr) {
    z_free_ar2(reinterpret_cast<void**>(aud->data));
    std::free(aud);
  }
  return 0;
}

KESTREL_API w6_aud_data* w6_aud_in(const char* path, int rate) {
  if (path == nullptr) {
    z_log(kLogError, "Error in Read Audio File, no path");
    return nullptr;
  }
  if (std::strlen(path) > kMaxPath) {
    z_log(kLogError, "Error in Read Audio File, path longer than %d characters", static_cast<int>(kMaxPath));
    return nullptr;
  }
  const std::string file = CutPath(path);
  const size_t dot = file.rfind('.');
  const std::string ext = dot == std::string::npos ? std::string() : file.substr(dot + 1);
  w6_aud_data* aud;
  if (dot != std::string::npos && strcasecmp(ext.c_str(), "pcm") == 0) {
    aud = ReadPcm(file.c_str());
  } else if (dot != std::string::npos && strcasecmp(ext.c_str(), "wav") == 0) {
    aud = ReadWav(file.c_str());
  } else {
    z_log(kLogError, "Error in Read Audio File, Not Support Format %s", ext.c_str());
    return nullptr;
  }
  if (aud == nullptr || rate == 0 || rate == aud->rate) return aud;
  w6_aud_data* converted = w6_aud_rs(aud, rate);
  w6_aud_free(aud);
  return converted;
}

KESTREL_API w6_aud_data* w6_aud_rs(const w6_aud_data* aud, int rate) {
  if (aud == nullptr || aud->channels < 1 || (aud->samples > 0 && aud->data == nullptr)) {
    z_log(kLogError, "Error in w6_aud_rs: no audio to convert");
    return nullptr;
  }
  // Batches of 10 ms of output.
  const int64_t rs = w6_rs_create(aud->channels, aud->rate, rate, rate / 1000 * 10);
  if (rs == 0) return nullptr;  // logged by the converter
  const ZRsMem* m = reinterpret_cast<const ZRsMem*>(static_cast<intptr_t>(rs));
  if (static_cast<int64_t>(aud->samples) / (int64_t{m->B} * m->M) * m->B * m->L > kRsMaxOutput) {
    z_log(kLogError, "Error in w6_aud_rs: %d samples at %d Hz make too many at %d Hz", aud->samples, aud->rate, rate);
    w6_rs_free(rs);
    return nullptr;
  }
  float** out = nullptr;
  int count = 0;
  w6_rs_process_float(rs, const_cast<const float**>(aud->data), aud->samples, &out, &count);
  w6_aud_data* res = w6_aud_malloc(aud->channels, rate, count);
  if (res != nullptr && count > 0) {
    for (int c = 0; c < aud->channels; ++c) {
      std::memcpy(res->data[c], out[c], sizeof(float) * static_cast<size_t>(count));
    }
  }
  w6_rs_free(rs);
  return res;
}

KESTREL_API int w6_aud_out(const char* path, const w6_aud_data* aud) {
  if (path == nullptr) {
    z_log(kLogError, "Error in w6_aud_out: no path");
    return -1;
  }
  if (aud == nullptr || aud->channels < 1 || aud->samples < 0 || aud->rate < 0 || aud->channels > 32767 ||
      (aud->samples > 0 && aud->data == nullptr)) {
    z_log(kLogError, "Error in w6_aud_out: nothing to write to %s", path);
    return -1;
  }
  const uint64_t blockAlign = static_cast<uint64_t>(aud->channels) * 2;
  const uint64_t dataBytes = static_cast<uint64_t>(aud->samples) * blockAlign;
  const uint64_t byteRate = static_cast<uint64_t>(aud->rate) * blockAlign;
  if (dataBytes + 36 > UINT32_MAX || byteRate > UINT32_MAX) {
    z_log(kLogError, "Error in w6_aud_out: %s would exceed the size limits of the format", path);
    return -1;
  }
  FILE* f = std::fopen(path, "wb");
  if (f == nullptr) {
    z_log(kLogError, "Error in w6_aud_out: cannot create %s", path);
    return -1;
  }
  // Scale down only when the peak would not fit 16 bits with some headroom.
  float peak = 1.0f;
  for (int c = 0; c < aud->channels; ++c) {
    for (int i = 0; i < aud->samples; ++i) {
      const float a = std::fabs(aud->data[c][i]);
      if (std::isfinite(a) && a > peak) peak = a;
    }
  }
  const float scale = peak > 32000.0f ? 32000.0f / peak : 1.0f;

  unsigned char head[44];
  std::memcpy(head, "RIFF", 4);
  PutLe32(head + 4, static_cast<uint32_t>(dataBytes + 36));
  std::memcpy(head + 8, "WAVEfmt ", 8);
  PutLe32(head + 16, 16);
  PutLe16(head + 20, 1);
  PutLe16(head + 22, static_cast<uint32_t>(aud->channels));
  PutLe32(head + 24, static_cast<uint32_t>(aud->rate));
  PutLe32(head + 28, static_cast<uint32_t>(byteRate));
  PutLe16(head + 32, static_cast<uint32_t>(blockAlign));
  PutLe16(head + 34, 16);
  std::memcpy(head + 36, "data", 4);
  PutLe32(head + 40, static_cast<uint32_t>(dataBytes));
  bool good = std::fwrite(head, 1, sizeof(head), f) == sizeof(head);

  std::vector<unsigned char> buf(kChunkBytes);
  size_t used = 0;
  for (int i = 0; good && i < aud->samples; ++i) {
    for (int c = 0; c < aud->channels; ++c) {
      const float v = scale * aud->data[c][i];
      // Truncation toward zero; |v| <= 32000 (up to rounding) for finite samples.
      const int s = std::isfinite(v) ? static_cast<int>(v) : 0;
      PutLe16(buf.data() + used, static_cast<uint32_t>(static_cast<uint16_t>(static_cast<int16_t>(s))));
      used += 2;
      if (used == buf.size()) {
        good = std::fwrite(buf.data(), 1, used, f) == used;
        used = 0;
      }
    }
  }
  if (good && used > 0) good = std::fwrite(buf.data(), 1, used, f) == used;
  if (std::fclose(f) != 0) good = false;
  if (!good) {
    z_log(kLogError, "Error in w6_aud_out: cannot write %s", path);
    return -1;
  }
  return 0;
}

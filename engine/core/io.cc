#include "engine/core/io.h"

#include <strings.h>

#include <climits>
#include <cstdlib>
#include <cstring>

namespace __kestrel4__ {

void ZOutput::WriteToken(const char* token) {
  WriteRawData(token, static_cast<unsigned>(std::strlen(token)));
  PutChar(' ');
}

std::string ZInput::ReadToken() {
  std::string s;
  char c = GetChar();
  while (c != ' ') {
    if (s.size() >= 100) break;  // the current character is dropped
    s.push_back(c);
    // Not cleared first: at the end of a file the last character repeats.
    ReadRawData(&c, 1);
  }
  return s;
}

bool ZInput::ExpectToken(const char* token) {
  std::string t = ReadToken();
  return strcasecmp(t.c_str(), token) == 0;
}

ZFileOutput::ZFileOutput(const char* path, ZOutputType t) : ZOutput(t) {
  file = std::fopen(path, "wb");
  if (file != nullptr && t == 0) {
    static const char kMarker[2] = {0x00, 0x42};
    std::fwrite(kMarker, 1, 2, file);
  }
}

ZFileOutput::~ZFileOutput() {
  if (file != nullptr) std::fclose(file);
}

void ZFileOutput::WriteRawData(const char* bytes, unsigned count) {
  if (file != nullptr && count > 0) std::fwrite(bytes, 1, count, file);
}

ZFileInput::ZFileInput(const char* path, ZInputType t) : ZInput(t) { file = std::fopen(path, "rb"); }

ZFileInput::~ZFileInput() {
  if (file != nullptr) std::fclose(file);
}

bool ZFileInput::IsEof() { return file == nullptr || std::feof(file) != 0; }

void ZFileInput::ReadRawData(char* bytes, unsigned count) {
  if (file != nullptr && count > 0) {
    size_t got = std::fread(bytes, 1, count, file);
    (void)got;
  }
}

long ZFileInput::Remaining() {
  if (file == nullptr) return 0;
  long pos = std::ftell(file);
  if (pos < 0 || std::fseek(file, 0, SEEK_END) != 0) return 0;
  long end = std::ftell(file);
  std::fseek(file, pos, SEEK_SET);
  return end > pos ? end - pos : 0;
}

ZBuffOutput::ZBuffOutput(char*& buf, int& used_bytes, ZOutputType t)
    : ZOutput(t), buffer(&buf), used(&used_bytes), capacity(1024) {
  buf = static_cast<char*>(std::calloc(1024, 1));
}

void ZBuffOutput::WriteRawData(const char* bytes, unsigned count) {
  const long long need = static_cast<long long>(*used) + count;
  if (need > capacity) {
    // The block and the caller's byte count are int-sized: a write that
    // would take them past that is dropped rather than wrapped.
    const long long grown = capacity + need;
    if (grown > INT_MAX) return;
    char* block = static_cast<char*>(std::malloc(static_cast<size_t>(grown)));
    if (block == nullptr) return;
    if (*used > 0) std::memcpy(block, *buffer, *used);
    std::free(*buffer);
    *buffer = block;
    capacity = static_cast<int>(grown);
  }
  if (count > 0) std::memcpy(*buffer + *used, bytes, count);
  *used += static_cast<int>(count);
}

ZBuffInput::ZBuffInput(const char* src, int n, ZInputType t) : ZInput(t), size(n < 0 ? 0 : n), pos(0) {
  bytes = static_cast<char*>(std::malloc(size > 0 ? size : 1));
  if (size > 0) std::memcpy(bytes, src, size);
}

ZBuffInput::~ZBuffInput() { std::free(bytes); }

void ZBuffInput::ReadRawData(char* dst, unsigned count) {
  unsigned left = static_cast<unsigned>(size - pos);
  unsigned n = count < left ? count : left;
  if (n > 0) std::memcpy(dst, bytes + pos, n);
  pos += static_cast<int>(n);
}

}  // namespace __kestrel4__

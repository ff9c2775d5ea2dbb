// Byte streams of the model token format: tokens are text ended by one blank,
// numbers are raw little-endian binary (a size byte, then 4 bytes, for single
// values; bare 4-byte elements for arrays). Models, normalisation vectors and
// phone tables are all stored this way.
#ifndef KESTREL_CORE_IO_H
#define KESTREL_CORE_IO_H

#include <cstdio>
#include <string>

namespace __kestrel4__ {

// 0: headed (vectors and matrices carry "FV"/"FM" headers); 2: raw (the
// caller handled the header). Other values are accepted: matrix and vector
// readers then read nothing.
typedef int ZInputType;
typedef int ZOutputType;

class ZOutput {
 public:
  explicit ZOutput(ZOutputType t) : type(t) {}
  virtual ~ZOutput() {}
  virtual void WriteRawData(const char* bytes, unsigned count) = 0;

  void PutChar(char c) { WriteRawData(&c, 1); }
  void WriteToken(const char* token);
  template <typename T>
  void WriteBasicType(const T* v) {
    static_assert(sizeof(T) == 4, "basic values are 4 bytes");
    PutChar(4);
    WriteRawData(reinterpret_cast<const char*>(v), 4);
  }
  template <typename T>
  void WriteArray(const T* p, int n) {
    static_assert(sizeof(T) == 4, "array elements are 4 bytes");
    if (n > 0) WriteRawData(reinterpret_cast<const char*>(p), 4u * static_cast<unsigned>(n));
  }

  ZOutputType type;
};

class ZInput {
 public:
  explicit ZInput(ZInputType t) : type(t) {}
  virtual ~ZInput() {}
  virtual bool IsEof() = 0;
  virtual void ReadRawData(char* bytes, unsigned count) = 0;

  char GetChar() {
    char c = 0;
    ReadRawData(&c, 1);
    return c;
  }
  // A token ends at a blank (consumed) or after 100 characters (the next
  // character is consumed and dropped). No white space is skipped.
  std::string ReadToken();
  // Reads one token; true when it equals `token` ignoring case. The token is
  // consumed either way.
  bool ExpectToken(const char* token);
  template <typename T>
  void ReadBasicType(T* v) {
    static_assert(sizeof(T) == 4, "basic values are 4 bytes");
    GetChar();  // the size byte is not checked
    ReadRawData(reinterpret_cast<char*>(v), 4);
  }
  template <typename T>
  void ReadArray(T* p, int n) {
    static_assert(sizeof(T) == 4, "array elements are 4 bytes");
    if (n > 0) ReadRawData(reinterpret_cast<char*>(p), 4u * static_cast<unsigned>(n));
  }

  ZInputType type;
};

class ZFileOutput : public ZOutput {
 public:
  // Opens path for writing ("wb"); a type-0 stream starts with the marker
  // bytes 00 42.
  ZFileOutput(const char* path, ZOutputType type);
  ~ZFileOutput() override;
  bool isValid() const { return file != nullptr; }
  void WriteRawData(const char* bytes, unsigned count) override;

  FILE* file;
};

class ZFileInput : public ZInput {
 public:
  ZFileInput(const char* path, ZInputType type);
  ~ZFileInput() override;
  bool isValid() const { return file != nullptr; }
  bool IsEof() override;
  // A short read leaves the rest of the destination as it was.
  void ReadRawData(char* bytes, unsigned count) override;
  // Bytes from the current position to the end of the file (0 when not
  // valid); lets loaders bound their allocations by what the file can hold.
  long Remaining();

  FILE* file;
};

// Memory output: appends to a caller-owned block that the stream grows; the
// block belongs to the caller (release with free()).
class ZBuffOutput : public ZOutput {
 public:
  ZBuffOutput(char*& buffer, int& used, ZOutputType type);
  void WriteRawData(const char* bytes, unsigned count) override;

  char** buffer;
  int* used;
  int capacity;
};

// Memory input over its own copy of the bytes; never reads past the end.
class ZBuffInput : public ZInput {
 public:
  ZBuffInput(const char* bytes, int size, ZInputType type);
  ~ZBuffInput() override;
  bool IsEof() override { return pos == size; }
  void ReadRawData(char* bytes, unsigned count) override;

  char* bytes;
  int size;
  int pos;
};

}  // namespace __kestrel4__

#endif

// Reading side of the model files, hardened for files that come from outside:
// every read is counted against the bytes the stream still holds, every size
// is checked against the network's limits before anything is allocated, and
// the first problem is kept as a one-line reason for the loader's log line.
// Well-formed files read exactly as the plain token streams read them.
#ifndef KESTREL_NNET_NNET_IO_H
#define KESTREL_NNET_NNET_IO_H

#include <string>

#include "engine/core/io.h"
#include "engine/core/mat.h"

namespace __kestrel4__ {

// Largest width of any layer, cell or bottleneck. Real models stay far below
// (the acoustic model's widest layer has 5191 units); the limit keeps a
// corrupt header from sizing evaluation buffers beyond reason.
constexpr int kNnetMaxDim = 65536;
// Largest sum of the output widths of all layers of one network.
constexpr long kNnetMaxUnits = 1L << 20;

class NnetInput : public ZInput {
 public:
  // Wraps `inner` (not owned). The byte budget is taken from file and memory
  // streams; for other streams it is unknown and only the limits apply.
  explicit NnetInput(ZInput* inner);
  bool IsEof() override { return left == 0 || inner->IsEof(); }
  void ReadRawData(char* bytes, unsigned count) override;

  // Records the first failure (later ones keep it); always returns false.
  bool Fail(const std::string& why);
  bool ok() const { return !failed; }
  const std::string& reason() const { return why; }
  // Bytes left, or -1 when unknown.
  long Remaining() const { return left; }

  // A token: characters up to a blank (at most 100, as the plain reader). A
  // token that ends at the end of the stream is returned as it stands.
  bool Token(std::string* token, const char* what);
  // A headed value on type 0 streams (size byte, 4 bytes); bare 4 bytes on
  // raw streams.
  bool Int(int* v, const char* what);
  bool Float(float* v, const char* what);
  // Four bytes without a size byte (the legacy model's header).
  bool RawInt(int* v, const char* what);
  // A size byte, then one byte, non-zero meaning true.
  bool Flag(bool* v, const char* what);
  // An Int that must lie in 1 .. kNnetMaxDim.
  bool Dim(int* v, const char* what);
  // True when `count` more floats can still come from the stream (and the
  // count is sane); checked before a buffer for them is allocated.
  bool Fits(long count, const char* what);
  // A matrix into m, whose size is the expected one: headed ("FM", rows,
  // cols, floats) on type 0 streams, where the stored counts must match;
  // bare floats otherwise.
  bool Mat(ZMat* m, const char* what);
  // A vector into v: headed ("FV", count, floats), count must match; bare
  // floats on raw streams.
  bool Vec(ZVec* v, const char* what);

  // Runs f on `in` as a checked stream: `in` itself when it already is one,
  // else a wrapper around it.
  template <typename F>
  static int Use(ZInput* in, F f) {
    if (NnetInput* r = dynamic_cast<NnetInput*>(in)) return f(r);
    NnetInput r(in);
    return f(&r);
  }

  ZInput* inner;

 private:
  long left;
  bool failed;
  std::string why;
};

// Printable form of a token read from a file (for log lines).
std::string NnetPrintable(const std::string& token);

// Writing helpers of the component format.
void NnetWriteFlag(ZOutput* out, bool v);

}  // namespace __kestrel4__

#endif

#include "engine/nnet/nnet_io.h"

#include <strings.h>

#include <cstdio>

namespace __kestrel4__ {

namespace {

// Without a known byte budget no single array may exceed this many floats.
constexpr long kUnknownBudgetFloats = 1L << 26;

long BudgetOf(ZInput* in) {
  if (ZFileInput* f = dynamic_cast<ZFileInput*>(in)) return f->isValid() ? f->Remaining() : 0;
  if (ZBuffInput* b = dynamic_cast<ZBuffInput*>(in)) return static_cast<long>(b->size) - b->pos;
  return -1;
}

std::string Num(long v) { return std::to_string(v); }

}  // namespace

std::string NnetPrintable(const std::string& token) {
  std::string s;
  for (size_t i = 0; i < token.size() && i < 40; ++i) {
    unsigned char c = static_cast<unsigned char>(token[i]);
    s.push_back(c >= 0x21 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  if (token.size() > 40) s += "...";
  return s;
}

void NnetWriteFlag(ZOutput* out, bool v) {
  out->PutChar(1);
  out->PutChar(v ? 1 : 0);
}

NnetInput::NnetInput(ZInput* in) : ZInput(in->type), inner(in), left(BudgetOf(in)), failed(false) {}

void NnetInput::ReadRawData(char* bytes, unsigned count) {
  if (left >= 0 && static_cast<long>(count) > left) {
    // Deliver what is there; the rest of the destination stays as it was.
    if (left > 0) inner->ReadRawData(bytes, static_cast<unsigned>(left));
    left = 0;
    Fail("the file ends early");
    return;
  }
  inner->ReadRawData(bytes, count);
  if (left >= 0) left -= count;
}

bool NnetInput::Fail(const std::string& reason) {
  if (!failed) {
    failed = true;
    why = reason;
  }
  return false;
}

bool NnetInput::Token(std::string* token, const char* what) {
  token->clear();
  if (failed) return false;
  for (;;) {
    if (left == 0) {
      if (token->empty()) return Fail(std::string("the file ends before ") + what);
      return true;  // a last token without its blank
    }
    char c = 0;
    ReadRawData(&c, 1);
    if (c == ' ') return true;
    if (token->size() >= 100) return true;  // as the plain reader: the 101st character is dropped
    token->push_back(c);
  }
}

bool NnetInput::Int(int* v, const char* what) {
  if (failed) return false;
  if (left >= 0 && left < 5) return Fail(std::string("the file ends inside ") + what);
  ReadBasicType(v);
  return !failed;
}

bool NnetInput::Float(float* v, const char* what) {
  if (failed) return false;
  if (left >= 0 && left < 5) return Fail(std::string("the file ends inside ") + what);
  ReadBasicType(v);
  return !failed;
}

bool NnetInput::RawInt(int* v, const char* what) {
  if (failed) return false;
  if (left >= 0 && left < 4) return Fail(std::string("the file ends inside ") + what);
  ReadRawData(reinterpret_cast<char*>(v), 4);
  return !failed;
}

bool NnetInput::Flag(bool* v, const char* what) {
  if (failed) return false;
  if (left >= 0 && left < 2) return Fail(std::string("the file ends inside ") + what);
  GetChar();  // size byte, not checked
  *v = GetChar() != 0;
  return !failed;
}

bool NnetInput::Dim(int* v, const char* what) {
  if (!Int(v, what)) return false;
  if (*v < 1 || *v > kNnetMaxDim)
    return Fail(std::string(what) + " is " + Num(*v) + ", outside 1.." + Num(kNnetMaxDim));
  return true;
}

bool NnetInput::Fits(long count, const char* what) {
  if (failed) return false;
  if (count < 0) return Fail(std::string(what) + " has a negative size");
  if (left >= 0 ? count > left / 4 : count > kUnknownBudgetFloats)
    return Fail(std::string(what) + " claims " + Num(count) + " values but the file holds only " +
                Num(left < 0 ? 0 : left) + " more bytes");
  return true;
}

bool NnetInput::Mat(ZMat* m, const char* what) {
  if (failed) return false;
  if (type == 0) {
    std::string t;
    if (!Token(&t, what)) return false;
    if (strcasecmp(t.c_str(), "FM") != 0)
      return Fail(std::string(what) + ": expected a matrix, found '" + NnetPrintable(t) + "'");
    int r = 0, c = 0;
    if (!Int(&r, what) || !Int(&c, what)) return false;
    if (r != m->rows || c != m->cols)
      return Fail(std::string(what) + " is stored as " + Num(r) + " x " + Num(c) + ", the layer needs " +
                  Num(m->rows) + " x " + Num(m->cols));
  }
  if (!Fits(static_cast<long>(m->rows) * m->cols, what)) return false;
  for (int i = 0; i < m->rows && !failed; ++i) ReadArray(m->row[i], m->cols);
  return !failed;
}

bool NnetInput::Vec(ZVec* v, const char* what) {
  if (failed) return false;
  if (type == 0) {
    std::string t;
    if (!Token(&t, what)) return false;
    if (strcasecmp(t.c_str(), "FV") != 0)
      return Fail(std::string(what) + ": expected a vector, found '" + NnetPrintable(t) + "'");
    int n = 0;
    if (!Int(&n, what)) return false;
    if (n != v->len)
      return Fail(std::string(what) + " holds " + Num(n) + " values, the layer needs " + Num(v->len));
  }
  if (!Fits(v->len, what)) return false;
  ReadArray(v->data, v->len);
  return !failed;
}

}  // namespace __kestrel4__

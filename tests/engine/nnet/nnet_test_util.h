// Helpers shared by the network tests: the lookup tables, plain matrices from
// lists, and running one layer on a block or a frame.
#ifndef KESTREL_TESTS_ENGINE_NNET_NNET_TEST_UTIL_H
#define KESTREL_TESTS_ENGINE_NNET_NNET_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/core/io.h"
#include "engine/core/mat.h"
#include "engine/core/tiled.h"
#include "engine/nnet/component.h"
#include "engine/nnet/nnet.h"

namespace __kestrel4__ {
namespace nnet_test {

class TablesTest : public ::testing::Test {
 protected:
  void SetUp() override { z_tables_acquire(kTablesVt); }
  void TearDown() override { z_tables_release(kTablesVt); }
};

inline uint32_t Bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

inline std::unique_ptr<ZMat> Plain(int rows, int cols, const std::vector<float>& v) {
  std::unique_ptr<ZMat> m(new ZMat(rows, cols));
  for (int i = 0; i < rows; ++i)
    for (int j = 0; j < cols; ++j) m->row[i][j] = v[static_cast<size_t>(i) * cols + j];
  return m;
}

inline std::vector<float> Random(size_t n, uint32_t seed, float scale = 1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-scale, scale);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

// Runs one layer on the rows of `in` through the block path; returns the
// T x outDim result as a row-major list.
inline std::vector<float> RunBlock(Nnet_Component* c, const ZMat& in, Nnet_Component_Memory* mem = nullptr) {
  std::unique_ptr<Nnet_Component_Memory> own;
  if (mem == nullptr) {
    own.reset(c->GeneratePropagateMemory(4));
    mem = own.get();
  }
  ZMat_Neon x(in.rows, in.cols, false);
  x.CopyFrom(&in);
  ZMat_Neon* out = &x;
  c->PropagateFnc_Mat(&x, mem, out);
  ZMat plain(in.rows, c->outDim);
  out->CopyTo(&plain);
  std::vector<float> r;
  for (int i = 0; i < in.rows; ++i) r.insert(r.end(), plain.row[i], plain.row[i] + c->outDim);
  return r;
}

// Runs one layer on one frame through the one-frame path.
inline std::vector<float> RunFrame(Nnet_Component* c, const std::vector<float>& frame) {
  std::unique_ptr<Nnet_Component_Memory> mem(c->GeneratePropagateMemory(4));
  ZVec x(static_cast<int>(frame.size()));
  for (size_t i = 0; i < frame.size(); ++i) x.data[i] = frame[i];
  ZVec* out = &x;
  c->PropagateFnc_Vec(&x, mem.get(), out);
  return std::vector<float>(out->data, out->data + c->outDim);
}

// Runs a whole network on the rows of `in` as one block (no corrections).
inline std::vector<float> RunNetBlock(Nnet* net, const ZMat& in) {
  std::vector<std::unique_ptr<Nnet_Component_Memory>> mems;
  for (Nnet_Component* c : net->components) mems.emplace_back(c->GeneratePropagateMemory(in.rows));
  ZMat_Neon x(in.rows, in.cols, false);
  x.CopyFrom(&in);
  ZMat_Neon* cur = &x;
  for (size_t k = 0; k < mems.size(); ++k) net->components[k]->PropagateFnc_Mat(cur, mems[k].get(), cur);
  ZMat plain(in.rows, net->outDim);
  cur->CopyTo(&plain);
  std::vector<float> r;
  for (int i = 0; i < in.rows; ++i) r.insert(r.end(), plain.row[i], plain.row[i] + net->outDim);
  return r;
}

// Writes model files token by token, independently of the layers' writers.
class ModelFile {
 public:
  explicit ModelFile(const std::string& path) : out_(path.c_str(), 0) {}
  ModelFile& Tok(const char* t) {
    out_.WriteToken(t);
    return *this;
  }
  ModelFile& Int(int v) {
    out_.WriteBasicType(&v);
    return *this;
  }
  ModelFile& Float(float v) {
    out_.WriteBasicType(&v);
    return *this;
  }
  ModelFile& Mat(int r, int c, const std::vector<float>& v) {
    Tok("FM").Int(r).Int(c);
    out_.WriteArray(v.data(), r * c);
    return *this;
  }
  ModelFile& Vec(const std::vector<float>& v) {
    Tok("FV").Int(static_cast<int>(v.size()));
    out_.WriteArray(v.data(), static_cast<int>(v.size()));
    return *this;
  }
  ModelFile& Raw(const std::string& bytes) {
    out_.WriteRawData(bytes.data(), static_cast<unsigned>(bytes.size()));
    return *this;
  }
  ModelFile& Affine23(bool endMarker) {
    Tok("<AffineTransform>").Int(2).Int(3);
    Tok("<LearnRateCoef>").Float(1).Tok("<BiasLearnRateCoef>").Float(1).Tok("<MaxNorm>").Float(0);
    Mat(2, 3, {1, 2, 3, 4, 5, 6}).Vec({0.5f, -1.0f});
    if (endMarker) Tok("<!EndOfComponent>");
    return *this;
  }

 private:
  ZFileOutput out_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary);
  f << bytes;
}

}  // namespace nnet_test
}  // namespace __kestrel4__

#endif

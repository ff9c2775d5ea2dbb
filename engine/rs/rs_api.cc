// Exported sample-rate converter. Handles are the converter pointer
// sign-extended to 64 bits; 0 is the null handle, accepted everywhere.
#include <cstdint>

#include "engine/rs/rs_mem.h"
#include "include/kestrel.h"

using __kestrel4__::ZRsMem;

namespace {

ZRsMem* Mem(int64_t h) { return reinterpret_cast<ZRsMem*>(static_cast<intptr_t>(h)); }
int64_t Handle(ZRsMem* m) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(m)); }

}  // namespace

KESTREL_API int64_t w6_rs_create(int channels, int in_rate, int out_rate, int batch) {
  ZRsMem* m = new ZRsMem(channels, in_rate, out_rate, batch);
  if (!m->Ok()) {  // logged by the converter
    delete m;
    return 0;
  }
  return Handle(m);
}

KESTREL_API int w6_rs_free(int64_t handle) {
  delete Mem(handle);
  return 0;
}

KESTREL_API int w6_rs_process_float(int64_t handle, const float** in, int n, float*** out, int* out_count) {
  if (handle == 0) {
    if (out != nullptr) *out = nullptr;
    if (out_count != nullptr) *out_count = 0;
    return 0;
  }
  return Mem(handle)->Process(in, n, out, out_count);
}

KESTREL_API int w6_rs_reset(int64_t handle) {
  if (handle == 0) return 0;
  return Mem(handle)->Reset();
}

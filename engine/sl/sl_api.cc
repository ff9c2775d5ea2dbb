// Exported w6_sl_* functions: thin wrappers over the localiser. Handles are
// the instance pointer sign-extended to 64 bits; the null handle is answered
// at once without touching memory.
#include <cstdint>

#include "engine/core/mat.h"
#include "engine/sl/sl_mem.h"
#include "include/kestrel.h"

using namespace __kestrel4__;

namespace {

ZSlMem* Mem(int64_t h) { return reinterpret_cast<ZSlMem*>(static_cast<intptr_t>(h)); }
int64_t Handle(ZSlMem* m) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(m)); }

}  // namespace

extern "C" {

KESTREL_API int w6_sl_sysinit(void) {
  z_tables_acquire(kTablesSl);
  return 0;
}

KESTREL_API int w6_sl_sysexit(void) {
  z_tables_release(kTablesSl);
  return 0;
}

KESTREL_API int64_t w6_sl_create(int mics, const float* positions, const float* delays) {
  ZSlMem* m = new ZSlMem(mics, positions, delays);
  if (!m->Valid()) {
    delete m;
    return 0;
  }
  return Handle(m);
}

KESTREL_API int w6_sl_free(int64_t handle) {
  delete Mem(handle);
  return 0;
}

KESTREL_API float w6_sl_put_data(int64_t handle, float** channels, int samples) {
  if (handle == 0 || channels == nullptr) return 0.0f;
  Mem(handle)->PutData(channels, samples);
  return 0.0f;
}

KESTREL_API float w6_sl_get_candidate(int64_t handle, int from, int to, float* out, int /*unused*/) {
  if (handle == 0 || out == nullptr) return 0.0f;
  Mem(handle)->GetCandidates(from, to, out);
  return 0.0f;
}

KESTREL_API int w6_sl_reset(int64_t handle) {
  if (handle == 0) return 0;
  return Mem(handle)->Reset();
}

}  // extern "C"

// Exported w6_vt_* functions: thin wrappers over the store and the instance.
// Handles are the instance pointer sign-extended to 64 bits; the null handle
// is answered at once without touching memory.
#include <cfloat>
#include <cstdint>

#include "engine/core/log.h"
#include "engine/core/mat.h"
#include "engine/vt/vt_mem.h"
#include "engine/vt/vt_sto.h"
#include "include/kestrel.h"

using namespace __kestrel4__;

extern "C" {
KESTREL_API void* g_VtSto = nullptr;
}

namespace {

ZVtSto* Store() { return static_cast<ZVtSto*>(g_VtSto); }
ZVtMem* Mem(int64_t h) { return reinterpret_cast<ZVtMem*>(static_cast<intptr_t>(h)); }
int64_t Handle(ZVtMem* m) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(m)); }

}  // namespace

extern "C" {

KESTREL_API int w6_vt_sysinit(const char* model_path, const char* phone_table_path) {
  z_tables_acquire(kTablesVt);
  if (g_VtSto == nullptr) {
    g_VtSto = new ZVtSto(model_path ? model_path : "", phone_table_path ? phone_table_path : "");
  }
  return 0;
}

KESTREL_API int w6_vt_sysexit(void) {
  delete Store();
  g_VtSto = nullptr;
  z_tables_release(kTablesVt);
  return 0;
}

KESTREL_API int64_t w6_vt_create(int channels) {
  ZVtSto* sto = Store();
  if (sto == nullptr) {
    z_log(kLogError, "w6_vt_create: no store (call w6_vt_sysinit first)");
    return 0;
  }
  if (!sto->HasNnet()) {
    z_log(kLogError, "w6_vt_create: the store has no usable network");
    return 0;
  }
  if (channels < 1) {
    z_log(kLogError, "w6_vt_create: %d channels", channels);
    return 0;
  }
  return Handle(new ZVtMem(sto, channels));
}

KESTREL_API int w6_vt_free(int64_t handle) {
  delete Mem(handle);
  return 0;
}

KESTREL_API int w6_vt_setwords(int64_t handle, const WordInfo* words, int count) {
  if (handle == 0) return 1;
  return Mem(handle)->SetWords(words, count);
}

KESTREL_API int w6_vt_getwords(int64_t handle, const WordInfo** words, int* count) {
  if (handle == 0) {
    if (words) *words = nullptr;
    if (count) *count = 0;
    return 0;
  }
  return Mem(handle)->GetWords(words, count);
}

KESTREL_API int w6_vt_process(int64_t handle, const float** channels, int samples, int flags) {
  if (handle == 0) return 0;
  return Mem(handle)->Detect(channels, samples, flags);
}

KESTREL_API int w6_vt_getdetwordinfo(int64_t handle, const WordInfo** word, const WordDetInfo** info,
                                     int pending_frames) {
  if (handle == 0) {
    if (word) *word = nullptr;
    if (info) *info = nullptr;
    return 1;
  }
  return Mem(handle)->GetDetWordInfo(word, info, pending_frames);
}

KESTREL_API int w6_vt_reset(int64_t handle) {
  if (handle == 0) return 0;
  return Mem(handle)->Reset();
}

KESTREL_API float w6_vt_getbestscore_eer(int64_t handle, const float** channels, int samples) {
  if (handle == 0) return -FLT_MAX;
  return Mem(handle)->GetBestScore(channels, samples);
}

KESTREL_API int w6_vt_set_dosecsl_cb(int64_t handle, w6_vt_dosecsl_cb cb, void* user) {
  if (handle == 0) return 0;
  return Mem(handle)->SetDoSecSlCallback(cb, user);
}

KESTREL_API int w6_vt_set_checkdirty_cb(int64_t handle, w6_vt_checkdirty_cb cb, void* user) {
  if (handle == 0) return 0;
  return Mem(handle)->SetCheckDirtyCallback(cb, user);
}

KESTREL_API int w6_vt_set_getdata_cb(int64_t handle, w6_vt_getdata_cb cb, void* user) {
  if (handle == 0) return 0;
  return Mem(handle)->SetGetDataCallback(cb, user);
}

KESTREL_API int kestrel_mem_print(void) { return 0; }

KESTREL_API int64_t w6_g2p_create(void) { return 0; }
KESTREL_API int w6_g2p_free(int64_t /*handle*/) { return 0; }
KESTREL_API const char* w6_g2p_process(int64_t /*handle*/, const char* /*text*/) { return nullptr; }

}  // extern "C"

// The detector's C interface. Handles name a slot of a fixed table and carry
// the slot's generation, so a handle whose detector was deleted stays invalid
// even after its slot is used again.
#include "ext/wren.h"

#include <android/log.h>

#include <atomic>
#include <new>

#include "platform/wren/detector.h"

namespace {

using wren::Detector;

const char kTag[] = "wren";
constexpr int kSlots = 64;
constexpr int kMaxGeneration = (0x7fffffff - 1) / kSlots;

struct Slot {
  std::atomic<Detector*> det{nullptr};
  std::atomic<bool> busy{false};
  int generation = 0;
};

Slot g_slots[kSlots];
std::atomic<int> g_users{0};

Detector* Find(int vad) {
  if (vad <= 0) return nullptr;
  const int slot = (vad - 1) % kSlots;
  const int generation = (vad - 1) / kSlots;
  Slot& s = g_slots[slot];
  Detector* d = s.det.load(std::memory_order_acquire);
  return d != nullptr && s.generation == generation ? d : nullptr;
}

}  // namespace

extern "C" {

int VAD_SysInit(void) { return g_users.fetch_add(1) + 1; }

int VAD_SysExit(void) {
  int n = g_users.load();
  while (n > 0) {
    if (g_users.compare_exchange_weak(n, n - 1)) return n - 1;
  }
  __android_log_print(ANDROID_LOG_WARN, kTag, "VAD_SysExit without VAD_SysInit");
  return -1;
}

int VD_NewVad(int mode) {
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = g_slots[i];
    bool expected = false;
    if (!s.busy.compare_exchange_strong(expected, true)) continue;
    Detector* d = new (std::nothrow) Detector(mode);
    if (d == nullptr || !d->ok()) {
      delete d;
      s.busy.store(false);
      __android_log_print(ANDROID_LOG_ERROR, kTag, "VD_NewVad: out of memory");
      return -1;
    }
    s.det.store(d, std::memory_order_release);
    return s.generation * kSlots + i + 1;
  }
  __android_log_print(ANDROID_LOG_ERROR, kTag, "VD_NewVad: all %d detectors in use", kSlots);
  return -1;
}

int VD_DelVad(int vad) {
  Detector* d = Find(vad);
  if (!d) return -1;
  Slot& s = g_slots[(vad - 1) % kSlots];
  s.det.store(nullptr, std::memory_order_release);
  s.generation = s.generation + 1 > kMaxGeneration ? 0 : s.generation + 1;
  delete d;
  s.busy.store(false, std::memory_order_release);
  return 0;
}

int VD_SetVadParam(int vad, int param, const int* value) {
  Detector* d = Find(vad);
  if (!d || !value) return -1;
  return d->SetParam(param, *value) ? 0 : -1;
}

int VD_InputFloatWave(int vad, const float* samples, int count, int reserved1, int reserved2) {
  (void)reserved1;
  (void)reserved2;
  Detector* d = Find(vad);
  if (!d || !samples || count != Detector::kFrame) return -1;
  return d->Input(samples) ? 1 : 0;
}

int VD_GetVoiceStartFrame(int vad) {
  Detector* d = Find(vad);
  return d ? d->start() : -1;
}

int VD_GetVoiceStopFrame(int vad) {
  Detector* d = Find(vad);
  return d ? d->stop() : -1;
}

int VD_GetVoiceFrameNum(int vad) {
  Detector* d = Find(vad);
  return d ? d->length() : -1;
}

const float* VD_GetFloatVoice(int vad) {
  Detector* d = Find(vad);
  return d ? d->voice() : nullptr;
}

int VD_SetStart(int vad, int back) {
  Detector* d = Find(vad);
  if (!d) return -1;
  d->ForceStart(back);
  return 0;
}

int VD_RestartVad(int vad) {
  Detector* d = Find(vad);
  if (!d) return -1;
  d->Restart();
  return 0;
}

float VD_GetLastFrameEnergy(int vad) {
  Detector* d = Find(vad);
  return d ? d->last_energy() : 0.f;
}

float VD_GetThresholdEnergy(int vad) {
  Detector* d = Find(vad);
  return d ? d->threshold() : 0.f;
}

}  // extern "C"

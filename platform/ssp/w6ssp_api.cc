// The kit's C interface. A handle is the address of a box that holds the
// object and a tag of its family, so that a handle of another family is
// refused rather than misused. Arguments are checked here; the objects trust
// what passes.
#include "ext/w6ssp.h"

#include <android/log.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <utility>

#include "platform/ssp/beamformer.h"
#include "platform/ssp/echo_canceller.h"
#include "platform/ssp/gain_control.h"
#include "platform/ssp/noise_suppressor.h"

namespace {

using w6ssp::Beamformer;
using w6ssp::EchoCanceller;
using w6ssp::GainControl;
using w6ssp::NoiseSuppressor;

const char kTag[] = "w6ssp";

constexpr uint32_t kBeamTag = 0x77366266;  // "w6bf"
constexpr uint32_t kNoiseTag = 0x77366e73; // "w6ns"
constexpr uint32_t kGainTag = 0x77366167;  // "w6ag"
constexpr uint32_t kEchoTag = 0x77366165;  // "w6ae"

template <uint32_t Tag, typename T>
struct Box {
  static constexpr uint32_t kTag = Tag;
  uint32_t tag = Tag;
  T obj;
  template <typename... A>
  explicit Box(A&&... a) : obj(std::forward<A>(a)...) {}
  ~Box() { tag = 0; }
};

using BeamBox = Box<kBeamTag, Beamformer>;
using NoiseBox = Box<kNoiseTag, NoiseSuppressor>;
using GainBox = Box<kGainTag, GainControl>;

struct EchoState {
  EchoCanceller aec;
  int cpus[16] = {};
  int cpu_count = 0;
};
using EchoBox = Box<kEchoTag, EchoState>;

template <typename B>
B* Open(int64_t handle) {
  if (handle == 0) return nullptr;
  B* box = reinterpret_cast<B*>(static_cast<intptr_t>(handle));
  return box->tag == B::kTag ? box : nullptr;
}

template <typename B>
int64_t ToHandle(B* box) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(box));
}

template <typename B>
int Free(int64_t handle) {
  if (handle == 0) return 0;
  B* box = Open<B>(handle);
  if (!box) return -1;
  delete box;
  return 0;
}

bool RateOk(int rate) { return rate >= 8000 && rate <= 48000; }

std::atomic<int> g_users{0};

}  // namespace

extern "C" {

int w6ssp_ssp_init(void) { return g_users.fetch_add(1) + 1; }

int w6ssp_ssp_exit(void) {
  int n = g_users.load();
  while (n > 0) {
    if (g_users.compare_exchange_weak(n, n - 1)) return n - 1;
  }
  __android_log_print(ANDROID_LOG_WARN, kTag, "w6ssp_ssp_exit without w6ssp_ssp_init");
  return -1;
}

/* ---- beamformer ---- */

int64_t w6ssp_bf_create(const float* positions, int mic_count) {
  if (!positions || mic_count < 1 || mic_count > Beamformer::kMaxMics) return 0;
  for (int i = 0; i < 3 * mic_count; ++i) {
    if (!(std::fabs(positions[i]) <= 10.f)) {
      __android_log_print(ANDROID_LOG_ERROR, kTag, "bf_create: microphone %d position out of range",
                          i / 3);
      return 0;
    }
  }
  BeamBox* box = new (std::nothrow) BeamBox(positions, mic_count);
  return box ? ToHandle(box) : 0;
}

int w6ssp_bf_init(int64_t bf, int frame_ms, int sample_rate) {
  BeamBox* box = Open<BeamBox>(bf);
  if (!box || !RateOk(sample_rate) || frame_ms < 1) return -1;
  const long frame = static_cast<long>(frame_ms) * sample_rate / 1000;
  if (frame < 1 || frame > 4800) return -1;
  box->obj.Init(static_cast<int>(frame), sample_rate);
  return 0;
}

int w6ssp_bf_set_mic_delays(int64_t bf, const float* delays, int count) {
  BeamBox* box = Open<BeamBox>(bf);
  if (!box || !delays || count != box->obj.mics()) return -1;
  for (int i = 0; i < count; ++i) {
    if (!(std::fabs(delays[i]) <= 0.01f)) {
      __android_log_print(ANDROID_LOG_ERROR, kTag, "bf_set_mic_delays: delay %d out of range", i);
      return -1;
    }
  }
  box->obj.SetDelays(delays);
  return 0;
}

int w6ssp_bf_steer(int64_t bf, float azimuth, float elevation, float look_azimuth, int reserved) {
  (void)azimuth;
  (void)reserved;
  BeamBox* box = Open<BeamBox>(bf);
  if (!box || !std::isfinite(elevation) || !std::isfinite(look_azimuth)) return -1;
  box->obj.Steer(look_azimuth, elevation);
  return 0;
}

int w6ssp_bf_process(int64_t bf, const float* input, int total, int mic_count, float* output) {
  BeamBox* box = Open<BeamBox>(bf);
  if (!box || !output) return -1;
  Beamformer& b = box->obj;
  if (!input || mic_count != b.mics() || total != b.frame() * mic_count) {
    std::memset(output, 0, sizeof(float) * b.frame());
    return -1;
  }
  b.Process(input, output);
  return 0;
}

int w6ssp_bf_free(int64_t bf) { return Free<BeamBox>(bf); }

/* ---- noise suppressor ---- */

int64_t w6ssp_ns_create(void) {
  NoiseBox* box = new (std::nothrow) NoiseBox();
  return box ? ToHandle(box) : 0;
}

int w6ssp_ns_init(int64_t ns, int sample_rate) {
  NoiseBox* box = Open<NoiseBox>(ns);
  if (!box || !RateOk(sample_rate)) return -1;
  return box->obj.Init(sample_rate) ? 0 : -1;
}

int w6ssp_ns_set_mode(int64_t ns, int mode) {
  NoiseBox* box = Open<NoiseBox>(ns);
  if (!box) return -1;
  box->obj.SetMode(mode);
  return 0;
}

int w6ssp_ns_process(int64_t ns, const float* in, float* out) {
  NoiseBox* box = Open<NoiseBox>(ns);
  if (!box || !in || !out || !box->obj.ready()) return -1;
  box->obj.Process(in, out);
  return 0;
}

int w6ssp_ns_free(int64_t ns) { return Free<NoiseBox>(ns); }

/* ---- gain control ---- */

int64_t w6ssp_agc_create(void) {
  GainBox* box = new (std::nothrow) GainBox();
  return box ? ToHandle(box) : 0;
}

int w6ssp_agc_init(int64_t agc, int frame_ms, int sample_rate) {
  GainBox* box = Open<GainBox>(agc);
  if (!box || !RateOk(sample_rate) || (frame_ms != 10 && frame_ms != 20)) return -1;
  if (!box->obj.Init(frame_ms * sample_rate / 1000, sample_rate)) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "agc_init: gain control unavailable");
    return -1;
  }
  return 0;
}

int w6ssp_agc_process(int64_t agc, int16_t* samples) {
  GainBox* box = Open<GainBox>(agc);
  if (!box || !samples || !box->obj.ready()) return -1;
  box->obj.Process(samples);
  return 0;
}

int w6ssp_agc_reset(int64_t agc) {
  GainBox* box = Open<GainBox>(agc);
  if (!box || !box->obj.ready()) return -1;
  return box->obj.Reset() ? 0 : -1;
}

int w6ssp_agc_free(int64_t agc) { return Free<GainBox>(agc); }

/* ---- echo canceller ---- */

int64_t w6ssp_aec_create(int flags) {
  (void)flags;
  EchoBox* box = new (std::nothrow) EchoBox();
  return box ? ToHandle(box) : 0;
}

int w6ssp_aec_set_thread_affinities(int64_t aec, const int* cpus, int count) {
  EchoBox* box = Open<EchoBox>(aec);
  if (!box || count < 0 || (count > 0 && !cpus)) return -1;
  EchoState& s = box->obj;
  s.cpu_count = count < 16 ? count : 16;
  for (int i = 0; i < s.cpu_count; ++i) s.cpus[i] = cpus[i];
  return 0;
}

int w6ssp_aec_init(int64_t aec, int sample_rate, int mic_count, int ref_count) {
  EchoBox* box = Open<EchoBox>(aec);
  if (!box || !RateOk(sample_rate) || mic_count < 1 || mic_count > 32 || ref_count < 1 ||
      ref_count > 8) {
    return -1;
  }
  if (!box->obj.aec.Init(sample_rate, mic_count, ref_count)) {
    __android_log_print(ANDROID_LOG_ERROR, kTag, "aec_init: cannot create the canceller");
    return -1;
  }
  return 0;
}

int w6ssp_aec_buffer_farend(int64_t aec, const float* ref, int total) {
  EchoBox* box = Open<EchoBox>(aec);
  if (!box || !ref || !box->obj.aec.ready() ||
      total != EchoCanceller::kFrame * box->obj.aec.refs()) {
    return -1;
  }
  box->obj.aec.BufferFarend(ref);
  return 0;
}

int w6ssp_aec_process(int64_t aec, const float* mics, int total, float* out, int reserved) {
  (void)reserved;
  EchoBox* box = Open<EchoBox>(aec);
  if (!mics || !out) return -1;
  if (!box || !box->obj.aec.ready() || total != EchoCanceller::kFrame * box->obj.aec.mics()) {
    if (total > 0 && out != mics) std::memmove(out, mics, sizeof(float) * total);
    return -1;
  }
  return box->obj.aec.Process(mics, out) ? 0 : 1;
}

int w6ssp_aec_free(int64_t aec) { return Free<EchoBox>(aec); }

}  // extern "C"

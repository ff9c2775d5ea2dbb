// Float <-> 16-bit conversion for the SpeexDSP filters: round to nearest and
// saturate, since a wrapped sample would be a full-scale click.
#ifndef PLATFORM_SSP_PCM_H
#define PLATFORM_SSP_PCM_H

#include <cmath>
#include <cstdint>

namespace w6ssp {

inline int16_t ToPcm16(float v) {
  if (!(v > -32768.f)) return v != v ? 0 : -32768;  // also maps NaN to 0
  if (v >= 32767.f) return 32767;
  return static_cast<int16_t>(std::lrint(v));
}

}  // namespace w6ssp

#endif  // PLATFORM_SSP_PCM_H

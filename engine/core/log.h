// Log lines of the engine: formatted into a local buffer first, then handed to
// the Android log under the system's tag.
#ifndef KESTREL_CORE_LOG_H
#define KESTREL_CORE_LOG_H

#include <cstdio>

#include <android/log.h>

namespace __kestrel4__ {

constexpr const char* kLogTag = "QEXAL_plover";
constexpr int kLogInfo = 4;   // progress and diagnostics
constexpr int kLogError = 6;  // allocation failures and bad input

template <typename... Args>
inline void z_log(int prio, const char* fmt, Args... args) {
  char line[1024];
  std::snprintf(line, sizeof(line), fmt, args...);
  __android_log_print(prio, kLogTag, "%s", line);
}

inline void z_log(int prio, const char* text) { __android_log_print(prio, kLogTag, "%s", text); }

}  // namespace __kestrel4__

#endif

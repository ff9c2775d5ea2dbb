// Host stand-in for Android's liblog. Lines look like logcat's brief format,
// "I/QEXAL_plover: text", and go to standard error unless the environment
// variable KESTREL_LOG says otherwise: "off" silences them, any other value
// is a file path the lines are appended to.
#include "android/log.h"
#include "host_log_capture.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

struct Line {
  int prio;
  std::string tag;
  std::string text;
};

std::mutex g_mutex;
bool g_capture = false;
// A deque: kept lines never move, so the pointers hostlog_get hands out stay
// valid while more lines arrive.
std::deque<Line> g_lines;

enum class Sink { kUnset, kStderr, kOff, kFile };
Sink g_sink = Sink::kUnset;
FILE* g_file = nullptr;

char PrioLetter(int prio) {
  static const char kLetters[] = "??VDIWEFS";
  return (prio >= 0 && prio <= ANDROID_LOG_SILENT) ? kLetters[prio] : '?';
}

void ChooseSink() {
  const char* env = std::getenv("KESTREL_LOG");
  if (env == nullptr || env[0] == '\0') {
    g_sink = Sink::kStderr;
  } else if (std::strcmp(env, "off") == 0) {
    g_sink = Sink::kOff;
  } else {
    g_file = std::fopen(env, "a");
    g_sink = g_file ? Sink::kFile : Sink::kStderr;
  }
}

}  // namespace

extern "C" int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(buf, sizeof(buf), fmt, ap);
  va_end(ap);
  if (n < 0) return n;
  if (tag == nullptr) tag = "";

  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_sink == Sink::kUnset) ChooseSink();
  if (g_capture) g_lines.push_back(Line{prio, tag, buf});
  FILE* out = g_sink == Sink::kStderr ? stderr : g_sink == Sink::kFile ? g_file : nullptr;
  if (out != nullptr) {
    size_t len = std::strlen(buf);
    bool newline = len > 0 && buf[len - 1] == '\n';
    std::fprintf(out, "%c/%s: %s%s", PrioLetter(prio), tag, buf, newline ? "" : "\n");
    std::fflush(out);
  }
  return n;
}

extern "C" void hostlog_capture(int on) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_capture = on != 0;
  if (g_capture) g_lines.clear();
}

extern "C" int hostlog_count(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return static_cast<int>(g_lines.size());
}

extern "C" int hostlog_get(int i, int* prio, const char** tag, const char** text) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (i < 0 || i >= static_cast<int>(g_lines.size())) return -1;
  if (prio) *prio = g_lines[i].prio;
  if (tag) *tag = g_lines[i].tag.c_str();
  if (text) *text = g_lines[i].text.c_str();
  return 0;
}

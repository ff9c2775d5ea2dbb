#include "tests/support/log_capture.h"

#include "host_log_capture.h"

namespace testing_support {

LogCapture::LogCapture() { hostlog_capture(1); }
LogCapture::~LogCapture() { hostlog_capture(0); }

std::vector<LogLine> LogCapture::Lines() const {
  std::vector<LogLine> out;
  int n = hostlog_count();
  for (int i = 0; i < n; ++i) {
    int prio = 0;
    const char* tag = nullptr;
    const char* text = nullptr;
    if (hostlog_get(i, &prio, &tag, &text) == 0) out.push_back(LogLine{prio, tag, text});
  }
  return out;
}

bool LogCapture::Has(const std::string& text, int prio) const {
  for (const LogLine& l : Lines())
    if (l.text == text && (prio < 0 || l.prio == prio)) return true;
  return false;
}

bool LogCapture::Contains(const std::string& part) const {
  for (const LogLine& l : Lines())
    if (l.text.find(part) != std::string::npos) return true;
  return false;
}

std::string LogCapture::Dump() const {
  std::string s;
  for (const LogLine& l : Lines()) s += std::to_string(l.prio) + "/" + l.tag + ": " + l.text + "\n";
  return s;
}

}  // namespace testing_support

// Captures the system's log lines while a test runs, so that tests can assert
// the exact texts and priorities.
#ifndef KESTREL_TESTS_SUPPORT_LOG_CAPTURE_H
#define KESTREL_TESTS_SUPPORT_LOG_CAPTURE_H

#include <string>
#include <vector>

namespace testing_support {

struct LogLine {
  int prio;
  std::string tag;
  std::string text;
};

class LogCapture {
 public:
  LogCapture();   // starts capturing (drops earlier lines)
  ~LogCapture();  // stops
  std::vector<LogLine> Lines() const;
  // True when some captured line's text equals `text` (and the priority,
  // when prio >= 0).
  bool Has(const std::string& text, int prio = -1) const;
  // True when some captured line's text contains `part`.
  bool Contains(const std::string& part) const;
  std::string Dump() const;  // all lines, for failure messages
};

}  // namespace testing_support

#endif

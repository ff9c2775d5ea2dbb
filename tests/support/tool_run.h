// Runs a command-line tool as a user would, from the root directory (so no
// relative path is assumed), and captures its status and output.
#ifndef KESTREL_TESTS_SUPPORT_TOOL_RUN_H
#define KESTREL_TESTS_SUPPORT_TOOL_RUN_H

#include <string>
#include <vector>

namespace testing_support {

struct ToolRun {
  int status;  // exit status, -1 when the tool did not exit normally
  std::string out;
  std::string err;
  int ErrLines() const;
};

enum class LogEnv {
  kInherit,  // the test's environment (the suite runs with KESTREL_LOG=off)
  kUser,     // KESTREL_LOG unset, as in a user's shell
};

// Runs bin with the given arguments, each passed as one word.
ToolRun RunTool(const std::string& bin, const std::vector<std::string>& args, LogEnv env = LogEnv::kInherit);
// The same with the arguments as shell text (already quoted where needed).
ToolRun RunToolLine(const std::string& bin, const std::string& args, LogEnv env = LogEnv::kInherit);

std::string ShellQuote(const std::string& s);
std::string ReadFile(const std::string& path);
int CountLines(const std::string& s);
// A path in the test's temporary folder, unique to this process.
std::string ToolTempPath(const std::string& name);

}  // namespace testing_support

#endif

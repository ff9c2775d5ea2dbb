#include "tests/support/tool_run.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testing_support {

int ToolRun::ErrLines() const { return CountLines(err); }

std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

int CountLines(const std::string& s) {
  int n = 0;
  for (char c : s) n += c == '\n';
  return n;
}

std::string ToolTempPath(const std::string& name) {
  return std::string(::testing::TempDir()) + "/tool_" + std::to_string(getpid()) + "_" + name;
}

ToolRun RunToolLine(const std::string& bin, const std::string& args, LogEnv env) {
  const std::string out = ToolTempPath("stdout"), err = ToolTempPath("stderr");
  std::string cmd = "cd / && ";
  if (env == LogEnv::kUser) cmd += "env -u KESTREL_LOG ";
  cmd += ShellQuote(bin) + " " + args + " >" + ShellQuote(out) + " 2>" + ShellQuote(err);
  const int rc = std::system(cmd.c_str());
  ToolRun r{WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ReadFile(out), ReadFile(err)};
  std::remove(out.c_str());
  std::remove(err.c_str());
  return r;
}

ToolRun RunTool(const std::string& bin, const std::vector<std::string>& args, LogEnv env) {
  std::string line;
  for (const std::string& a : args) line += " " + ShellQuote(a);
  return RunToolLine(bin, line, env);
}

}  // namespace testing_support

#pragma once

// Runs the mailstorage-import binary as a child process for the tests, with
// its own environment additions, and collects exit status and output.

#include <map>
#include <string>
#include <vector>

namespace Nauvik::Import::Test {

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal number when a signal ended it
  std::string out;
  std::string err;
};

class ToolProcess {
 public:
  // Starts `program` with `args`; `env` is added to the test's environment.
  void Start(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {});
  void Signal(int signal_number);
  ToolResult Wait();

 private:
  int pid_ = -1;
  std::string out_path_;
  std::string err_path_;
};

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {});

// A fresh empty directory under the build tree's temporary area.
std::string MakeScratchDirectory(const std::string& name);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
std::vector<std::string> SplitLines(const std::string& text);
std::vector<std::string> SplitTabs(const std::string& line);

}  // namespace Nauvik::Import::Test

#pragma once

// The importer and checker as child processes; files and scratch directories.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace Nauvik::Import::Test {

using mstest::ReadFile;
using mstest::Split;

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A fresh empty directory in the build tree.
inline std::string MakeScratchDirectory(const std::string& name) {
  const auto dir = std::filesystem::path(getenv("MS_BINARY_DIR")) / "tools-scratch" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

struct ToolResult {
  int status = -1;  // exit status, or 128 + signal number when a signal ended it
  std::string out, err;
};

class ToolProcess {
 public:
  // Starts `program` with `args`; `env` is added to the test's environment.
  void Start(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& env = {}) {
    static int counter = 0;
    base_ = std::filesystem::temp_directory_path().string() + "/ms-tool-" +
            std::to_string(getpid()) + "-" + std::to_string(++counter);
    if ((pid_ = fork()) != 0) return;
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    if (freopen((base_ + ".out").c_str(), "w", stdout) &&
        freopen((base_ + ".err").c_str(), "w", stderr)) {
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
    }
    _exit(127);
  }
  void Signal(int signal_number) { kill(pid_, signal_number); }
  int pid() const { return pid_; }
  ToolResult Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    ToolResult r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
                 ReadFile(base_ + ".out"), ReadFile(base_ + ".err")};
    std::filesystem::remove(base_ + ".out");
    std::filesystem::remove(base_ + ".err");
    return r;
  }

 private:
  int pid_ = -1;
  std::string base_;
};

inline ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env = {}) {
  ToolProcess p;
  p.Start(program, args, env);
  return p.Wait();
}

// Holds a run of the test double inside its first call (FAKE_MAILSTORAGE_HOLD): Reached()
// returns once the run is in that call, Release() lets it go on.
class CallHold {
 public:
  explicit CallHold(const std::string& fifo) : fifo_(fifo) {
    std::filesystem::remove(fifo_);
    mkfifo(fifo_.c_str(), 0600);
  }
  ~CallHold() { Release(); }
  std::map<std::string, std::string> Env() const { return {{"FAKE_MAILSTORAGE_HOLD", fifo_}}; }
  void Reached() { fd_ = open(fifo_.c_str(), O_WRONLY | O_CLOEXEC); }
  void Release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  std::string fifo_;
  int fd_ = -1;
};

}  // namespace Nauvik::Import::Test

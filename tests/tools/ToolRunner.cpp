#include "tests/tools/ToolRunner.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace Nauvik::Import::Test {

void ToolProcess::Start(const std::string& program, const std::vector<std::string>& args,
                        const std::map<std::string, std::string>& env) {
  static int counter = 0;
  const std::string base = std::filesystem::temp_directory_path().string() + "/ms-tool-" +
                           std::to_string(getpid()) + "-" + std::to_string(++counter);
  out_path_ = base + ".out";
  err_path_ = base + ".err";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    FILE* out = freopen(out_path_.c_str(), "w", stdout);
    FILE* err = freopen(err_path_.c_str(), "w", stderr);
    if (out == nullptr || err == nullptr) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
}

void ToolProcess::Signal(int signal_number) { kill(pid_, signal_number); }

ToolResult ToolProcess::Wait() {
  ToolResult r;
  int status = 0;
  waitpid(pid_, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(out_path_);
  r.err = ReadFile(err_path_);
  std::filesystem::remove(out_path_);
  std::filesystem::remove(err_path_);
  return r;
}

ToolResult RunTool(const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env) {
  ToolProcess p;
  p.Start(program, args, env);
  return p.Wait();
}

std::string MakeScratchDirectory(const std::string& name) {
  const char* bin = getenv("MS_BINARY_DIR");
  std::filesystem::path dir = std::filesystem::path(bin ? bin : "/tmp") / "tools-scratch" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (true) {
    size_t tab = line.find('\t', pos);
    fields.push_back(line.substr(pos, tab == std::string::npos ? std::string::npos : tab - pos));
    if (tab == std::string::npos) break;
    pos = tab + 1;
  }
  return fields;
}

}  // namespace Nauvik::Import::Test

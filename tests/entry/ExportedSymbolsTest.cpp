// The built library's dynamic symbol table holds exactly the two exported
// functions: nothing of the static libraries inside it may leak out, or a
// host could bind to our internals (or we to its).

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string RunCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "";
  std::string out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
  EXPECT_EQ(pclose(pipe), 0) << command << "\n" << out;
  return out;
}

TEST(ExportedSymbols, OnlyTheTwoFunctions) {
  const char* binary_dir = std::getenv("MS_BINARY_DIR");
  ASSERT_NE(binary_dir, nullptr);
  const std::string library = std::string(binary_dir) + "/entry/libMailStorage.so";
  std::istringstream lines(RunCommand("nm -D --defined-only '" + library + "'"));
  std::set<std::string> symbols;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, type, name;
    fields >> address >> type >> name;
    ASSERT_FALSE(name.empty()) << line;
    symbols.insert(type + " " + name);
  }
  EXPECT_EQ(symbols, (std::set<std::string>{"T AddMailToMailStore", "T CloseDatabase"}));
}

}  // namespace

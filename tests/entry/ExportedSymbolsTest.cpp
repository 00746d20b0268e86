// libMailStorage.so exports exactly its two functions: nothing of the static libraries inside may
// leak out, or a host could bind to our internals. MS_LIBRARY names another copy to look at (the
// install test's).

#include <set>

#include "tests/entry/LibraryHarness.h"

TEST(ExportedSymbols, OnlyTheTwoFunctions) {
  const char* other = std::getenv("MS_LIBRARY");
  const std::string library = other ? other : mstest::LibraryPath();
  FILE* pipe = popen(("nm -D --defined-only '" + library + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> symbols;
  char address[64], type[8], name[512];
  while (std::fscanf(pipe, "%63s %7s %511s", address, type, name) == 3) {
    symbols.insert(std::string(type) + " " + name);
  }
  EXPECT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, (std::set<std::string>{"T AddMailToMailStore", "T CloseDatabase"}));
}

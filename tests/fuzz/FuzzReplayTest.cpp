// Every corpus file (seeds and kept findings) through the target, cut at every length, each
// cut in an exact-size heap buffer so that the sanitizer build sees any overread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "tests/TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzReplay, EveryCutOfEveryCorpusFileRunsCleanly) {
  ASSERT_FALSE(std::filesystem::is_empty(MS_FUZZ_CORPUS)) << MS_FUZZ_CORPUS;
  for (const auto& entry : std::filesystem::directory_iterator(MS_FUZZ_CORPUS)) {
    const std::string bytes = mstest::ReadFile(entry.path());
    // Large findings are replayed whole only, to keep the run short.
    for (size_t n = bytes.size() > 16384 ? bytes.size() : 0; n <= bytes.size(); ++n) {
      std::unique_ptr<uint8_t[]> exact(new uint8_t[std::max<size_t>(n, 1)]);
      std::copy_n(bytes.begin(), n, exact.get());
      ASSERT_EQ(LLVMFuzzerTestOneInput(exact.get(), n), 0) << entry.path() << " cut " << n;
    }
  }
}

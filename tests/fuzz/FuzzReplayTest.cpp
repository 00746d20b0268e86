// Runs every file of a fuzz target's corpus (our seeds and every finding
// kept as a regression case) through the target once, in an exact-size heap
// buffer, so the normal and sanitizer test builds replay them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(FuzzReplay, EveryCorpusFileRunsCleanly) {
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(MS_FUZZ_CORPUS)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    EXPECT_EQ(LLVMFuzzerTestOneInput(exact.get(), bytes.size()), 0) << entry.path();
    ++files;
  }
  EXPECT_GT(files, 0u) << MS_FUZZ_CORPUS;
}

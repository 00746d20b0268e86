#include <gtest/gtest.h>

#include "foundation/ResultCodes.h"

namespace Nauvik::IMAP {
namespace {

// Store codes letter for letter; codes below 1000 come from the blob utilities.
TEST(ErrorText, StoreBlobAndUnknownCodes) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "OK"},
      {1000, "Unknown error"},
      {1001, "Oracle error"},
      {1003, "Emtpy input mail (Content size was 0 bytes)"},
      {1008, "Mail is too big (Limit 209715200)"},
      {1020, "Access denied to IMAP folder"},
      {1023, "Invalid input to function"},
  };
  for (const auto& [code, text] : cases) EXPECT_EQ(ErrorText(code), text) << code;
  for (int32_t code : {1, 999, -1000}) EXPECT_EQ(ErrorText(code), "Blob utils error message.");
  for (int32_t code : {1025, INT32_MAX}) EXPECT_EQ(ErrorText(code), "Unknown error.") << code;
}

}  // namespace
}  // namespace Nauvik::IMAP

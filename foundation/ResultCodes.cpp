#include "foundation/ResultCodes.h"

#include <array>

namespace Nauvik::IMAP {

namespace {

// Indexed by code - 1000.
constexpr std::array<const char*, 25> kStoreTexts = {
    "Unknown error",
    "Oracle error",
    "File not found",
    "Emtpy input mail (Content size was 0 bytes)",
    "Invalid mail content (Not RFC822 compliant)",
    "Mail not found",
    "Mail already exists",
    "Unable to parse mail",
    nullptr,  // 1008 carries the size limit, built below
    "User is deleted",
    "Invalid user",
    "Quota limit exceeded",
    "Invalid IMAP folder",
    "Looping folders detected",
    "IMAP folder not found",
    "IMAP folder's parent not found",
    "IMAP folder already exists",
    "Illegal IMAP folder name",
    "User is already subscribed to IMAP folder",
    "User isn't subscribed to IMAP folder",
    "Access denied to IMAP folder",
    "Folder can not be selected",
    "Can not create folder in another user's folder",
    "Invalid input to function",
    "Invalid pointer",
};

}  // namespace

std::string ErrorText(int32_t code) {
  if (code == kImapOk) return "OK";
  if (code == kImapMailTooBig) {
    return "Mail is too big (Limit " + std::to_string(kImapMailSizeLimit) + ")";
  }
  if (code >= kImapUnknownError && code <= kImapInvalidPointer) {
    return kStoreTexts[static_cast<size_t>(code - kImapUnknownError)];
  }
  if (code < kImapUnknownError) return "Blob utils error message.";
  return "Unknown error.";
}

}  // namespace Nauvik::IMAP

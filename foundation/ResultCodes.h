#pragma once

#include <cstdint>
#include <string>

namespace Nauvik::IMAP {

// Result codes of the mail store. 0 is success, 1000 and up are the store's
// own errors; codes below 1000 come from the blob storage and are passed on
// unchanged, so a non-zero result is not necessarily 1000 or above.
inline constexpr int32_t kImapOk = 0;
inline constexpr int32_t kImapUnknownError = 1000;
inline constexpr int32_t kImapOracleError = 1001;  // every database failure
inline constexpr int32_t kImapFileNotFound = 1002;
inline constexpr int32_t kImapEmptyMail = 1003;
inline constexpr int32_t kImapInvalidMailContent = 1004;
inline constexpr int32_t kImapMailNotFound = 1005;
inline constexpr int32_t kImapMailAlreadyExists = 1006;
inline constexpr int32_t kImapUnableToParseMail = 1007;
inline constexpr int32_t kImapMailTooBig = 1008;
inline constexpr int32_t kImapUserDeleted = 1009;
inline constexpr int32_t kImapInvalidUser = 1010;
inline constexpr int32_t kImapQuotaExceeded = 1011;
inline constexpr int32_t kImapInvalidFolder = 1012;
inline constexpr int32_t kImapLoopingFolders = 1013;
inline constexpr int32_t kImapFolderNotFound = 1014;
inline constexpr int32_t kImapFolderParentNotFound = 1015;
inline constexpr int32_t kImapFolderAlreadyExists = 1016;
inline constexpr int32_t kImapIllegalFolderName = 1017;
inline constexpr int32_t kImapAlreadySubscribed = 1018;
inline constexpr int32_t kImapNotSubscribed = 1019;
inline constexpr int32_t kImapAccessDenied = 1020;
inline constexpr int32_t kImapFolderNotSelectable = 1021;
inline constexpr int32_t kImapCannotCreateInOthersFolder = 1022;
inline constexpr int32_t kImapInvalidInput = 1023;
inline constexpr int32_t kImapInvalidPointer = 1024;

// The size named in the text of kImapMailTooBig. Only a text: no operation
// compares a mail's size with it.
inline constexpr int64_t kImapMailSizeLimit = 200LL * 1024 * 1024;

// The text of a result code as it appears in log lines ("Emtpy" is the
// store's own spelling and stays). Any code below 1000 that is not 0 is a
// blob storage code; any code above 1024 is unknown.
[[nodiscard]] std::string ErrorText(int32_t code);

}  // namespace Nauvik::IMAP

// The two functions the library exports. Everything a call needs (its
// logger, its store object) is the call's own while it runs; the calling
// thread's database connection outlives it, until CloseDatabase, and so does
// the logger's thread, parked between calls.

#include "entry/MailStorage.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "content/Charsets.h"
#include "db/ConnectionManager.h"
#include "db/Registry.h"
#include "entry/LoggedCall.h"
#include "entry/VersionNote.h"
#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"
#include "log/Log.h"

namespace {

MAILSTORAGE_VERSION_NOTE(MAILSTORAGE_VERSION);

// The public header spells the result codes for C hosts; they must stay the
// store's own.
static_assert(MAILSTORAGE_OK == Nauvik::IMAP::kImapOk);
static_assert(MAILSTORAGE_UNKNOWN_ERROR == Nauvik::IMAP::kImapUnknownError);
static_assert(MAILSTORAGE_DATABASE_ERROR == Nauvik::IMAP::kImapOracleError);
static_assert(MAILSTORAGE_FILE_NOT_FOUND == Nauvik::IMAP::kImapFileNotFound);
static_assert(MAILSTORAGE_EMPTY_MAIL == Nauvik::IMAP::kImapEmptyMail);
static_assert(MAILSTORAGE_INVALID_MAIL_CONTENT == Nauvik::IMAP::kImapInvalidMailContent);
static_assert(MAILSTORAGE_MAIL_NOT_FOUND == Nauvik::IMAP::kImapMailNotFound);
static_assert(MAILSTORAGE_MAIL_ALREADY_EXISTS == Nauvik::IMAP::kImapMailAlreadyExists);
static_assert(MAILSTORAGE_UNABLE_TO_PARSE_MAIL == Nauvik::IMAP::kImapUnableToParseMail);
static_assert(MAILSTORAGE_MAIL_TOO_BIG == Nauvik::IMAP::kImapMailTooBig);
static_assert(MAILSTORAGE_USER_DELETED == Nauvik::IMAP::kImapUserDeleted);
static_assert(MAILSTORAGE_INVALID_USER == Nauvik::IMAP::kImapInvalidUser);
static_assert(MAILSTORAGE_QUOTA_EXCEEDED == Nauvik::IMAP::kImapQuotaExceeded);
static_assert(MAILSTORAGE_INVALID_FOLDER == Nauvik::IMAP::kImapInvalidFolder);
static_assert(MAILSTORAGE_LOOPING_FOLDERS == Nauvik::IMAP::kImapLoopingFolders);
static_assert(MAILSTORAGE_FOLDER_NOT_FOUND == Nauvik::IMAP::kImapFolderNotFound);
static_assert(MAILSTORAGE_FOLDER_PARENT_NOT_FOUND == Nauvik::IMAP::kImapFolderParentNotFound);
static_assert(MAILSTORAGE_FOLDER_ALREADY_EXISTS == Nauvik::IMAP::kImapFolderAlreadyExists);
static_assert(MAILSTORAGE_ILLEGAL_FOLDER_NAME == Nauvik::IMAP::kImapIllegalFolderName);
static_assert(MAILSTORAGE_ALREADY_SUBSCRIBED == Nauvik::IMAP::kImapAlreadySubscribed);
static_assert(MAILSTORAGE_NOT_SUBSCRIBED == Nauvik::IMAP::kImapNotSubscribed);
static_assert(MAILSTORAGE_ACCESS_DENIED == Nauvik::IMAP::kImapAccessDenied);
static_assert(MAILSTORAGE_FOLDER_NOT_SELECTABLE == Nauvik::IMAP::kImapFolderNotSelectable);
static_assert(MAILSTORAGE_CANNOT_CREATE_IN_OTHERS_FOLDER ==
              Nauvik::IMAP::kImapCannotCreateInOthersFolder);
static_assert(MAILSTORAGE_INVALID_INPUT == Nauvik::IMAP::kImapInvalidInput);
static_assert(MAILSTORAGE_INVALID_POINTER == Nauvik::IMAP::kImapInvalidPointer);

using Nauvik::Log;
using Nauvik::LogLevelAtLeast;

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

// Read as the run-time library's _atoi64: leading white space and a sign,
// digits up to the first other character, 0 without digits.
int64_t Atoi64(const char* text) { return text == nullptr ? 0 : std::strtoll(text, nullptr, 10); }

// "LogDir" beside the host's executable (not beside this library). The
// separator is the store's own "\"; the file layer turns it into "/".
std::string LogDirectory() {
  const std::string base = KAVRO::DirectoryOf(KAVRO::ExecutablePath(), true);
  std::string directory = base;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') directory += '\\';
  return directory + "LogDir";
}

// The registry file holds the database password. Like ssh and libpq with
// their secret files, say so when other accounts can read it; the call goes
// on all the same. Looked at once per process and registry path: a host
// making millions of calls needs no stat with each.
void WarnIfRegistryReadable() {
  const std::string path = Nauvik::RegistryFilePath();
  if (!LogLevelAtLeast(Nauvik::kLogWarning)) return;
  {
    static std::mutex mu;
    static std::set<std::string> looked_at;
    std::lock_guard<std::mutex> lock(mu);
    if (!looked_at.insert(path).second) return;
  }
  if (KAVRO::ReadableByOthers(path)) {
    Log(Nauvik::kLogWarning, false,
        "AddMailToMailStore(): The registry file " + path +
            " can be read by other accounts, and it holds the database password. Allow only "
            "its owner to read it (chmod 600).");
  }
}

// One call, run inside its logger (RunLoggedCall): the store object lives
// for the call and is gone when this returns.
int32_t AddMail(const char* mail_file, const char* folder, const char* user_id,
                const char* company_id, const char* internal_date, bool seen, bool draft,
                bool use_views) {
  Nauvik::SetLogLevel(Nauvik::kLogInfo);
  if (LogLevelAtLeast(Nauvik::kLogStatus)) {
    Log(Nauvik::kLogStatus, false,
        "AddMailToMailStore(): Adding file " + Text(mail_file) +
            " to IMAP storage. User: " + Text(user_id) + ". Folder: " + Text(folder) + ".");
  }
  WarnIfRegistryReadable();

  auto store = std::make_unique<Nauvik::IMAP::ImapMailStorage>();
  store->SetUseViews(use_views);
  const int64_t user = Atoi64(user_id);
  const int64_t company = Atoi64(company_id);
  KAVRO::NTime date;
  date.SetNow(true);
  (void)date.ParseMailDate(Text(internal_date));  // unreadable: stays now (UTC)
  const std::u16string folder_name = Nauvik::IMAP::ConvertUtf8FolderNameToUtf16(Text(folder));
  uint32_t flags = Nauvik::IMAP::kFlagRecent;
  if (seen) flags |= Nauvik::IMAP::kFlagSeen;
  if (draft) flags |= Nauvik::IMAP::kFlagDraft;

  const int32_t result =
      store->AddMessageToFolder(Text(mail_file), folder_name, true, user, company, flags, date);
  if (result == Nauvik::IMAP::kImapOk) {
    if (LogLevelAtLeast(Nauvik::kLogStatus)) {
      Log(Nauvik::kLogStatus, false, "AddMailToMailStore(): File added successfully.");
    }
  } else {
    Log(Nauvik::kLogError, true,
        "AddMailToMailStore(): Error when adding file: " + Nauvik::IMAP::ErrorText(result) +
            ". Last exception: " + store->GetLastExceptionText());
  }
  return result;
}

}  // namespace

extern "C" {

int32_t AddMailToMailStore(const char* mail_file, const char* folder, const char* user_id,
                           const char* company_id, const char* internal_date, bool seen, bool draft,
                           bool use_views) {
  try {
    return Nauvik::RunLoggedCall(LogDirectory(), Nauvik::IMAP::kImapUnknownError, [&] {
      return AddMail(mail_file, folder, user_id, company_id, internal_date, seen, draft, use_views);
    });
  } catch (...) {
    // Only the directory's name or the call's closure can fail here (memory).
    return Nauvik::IMAP::kImapUnknownError;
  }
}

void CloseDatabase(void) {
  try {
    Nauvik::CloseThreadDatabases();
    Nauvik::StopParkedLoggers();
  } catch (...) {
    // Closing is best effort; a C host cannot receive an exception.
  }
}

}  // extern "C"

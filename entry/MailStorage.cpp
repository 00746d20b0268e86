// The two functions the library exports. Everything a call needs (its
// logger, its store object) lives for the call; only the calling thread's
// database connection outlives it, until CloseDatabase.

#include "entry/MailStorage.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "content/Charsets.h"
#include "db/ConnectionManager.h"
#include "entry/MailStorageInsertLogger.h"
#include "foundation/Files.h"
#include "foundation/NTime.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"
#include "log/Log.h"
#include "log/LogChannel.h"

namespace {

using Nauvik::Log;
using Nauvik::LogLevelAtLeast;

constexpr char kLogFilePattern[] = "MailStorage_$YEAR_$STRMONTH_$DAY.log";

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

int32_t AddMail(const char* mail_file, const char* folder, const char* user_id,
                const char* company_id, const char* internal_date, bool seen, bool draft,
                bool use_views) {
  auto logger = std::make_unique<Nauvik::MailStorageInsertLogger>(LogDirectory(), kLogFilePattern);
  const bool logging = logger->Start();
  Nauvik::SetLogLevel(Nauvik::kLogInfo);
  if (LogLevelAtLeast(Nauvik::kLogStatus)) {
    Log(Nauvik::kLogStatus, false,
        "AddMailToMailStore(): Adding file " + Text(mail_file) +
            " to IMAP storage. User: " + Text(user_id) + ". Folder: " + Text(folder) + ".");
  }

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

  // Everything this call logged is in the channel; once it is empty the
  // brokers have taken it, and stopping ours waits for its last line.
  // A logger that never started drains nothing: do not wait for it.
  if (logging) (void)Nauvik::GlobalLogChannel().WaitUntilEmpty(-1);
  store.reset();
  logger.reset();
  return result;
}

}  // namespace

extern "C" {

int32_t AddMailToMailStore(const char* mail_file, const char* folder, const char* user_id,
                           const char* company_id, const char* internal_date, bool seen, bool draft,
                           bool use_views) {
  // The store turns every database failure into a code. What could still
  // come out (memory exhaustion, a thread that cannot be started) must not
  // unwind into a C host: it becomes "Unknown error".
  try {
    return AddMail(mail_file, folder, user_id, company_id, internal_date, seen, draft, use_views);
  } catch (const std::exception& e) {
    Log(Nauvik::kLogError, true,
        std::string("AddMailToMailStore(): Unexpected exception: ") + e.what());
  } catch (...) {
    Log(Nauvik::kLogError, true, "AddMailToMailStore(): Unexpected exception.");
  }
  return Nauvik::IMAP::kImapUnknownError;
}

void CloseDatabase(void) {
  try {
    Nauvik::CloseThreadDatabases();
  } catch (...) {
    // Closing is best effort; a C host cannot receive an exception.
  }
}

}  // extern "C"

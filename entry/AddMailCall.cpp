#include "entry/AddMailCall.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "content/Charsets.h"
#include "db/Registry.h"
#include "entry/LoggedCall.h"
#include "foundation/Files.h"
#include "foundation/ResultCodes.h"
#include "imap/ImapMailStorage.h"
#include "log/Log.h"

namespace Nauvik {
namespace {

std::string Text(const char* text) { return text == nullptr ? std::string() : std::string(text); }

// Read as the run-time library's _atoi64: leading white space and a sign,
// digits up to the first other character, 0 without digits.
int64_t Atoi64(const char* text) { return text == nullptr ? 0 : std::strtoll(text, nullptr, 10); }

// The registry file holds the database password. Like ssh and libpq with
// their secret files, say so when other accounts can read it; the call goes
// on all the same. Looked at once per process and registry path: a host
// making millions of calls needs no stat with each.
void WarnIfRegistryReadable() {
  const std::string path = RegistryFilePath();
  if (!LogLevelAtLeast(kLogWarning)) return;
  {
    static std::mutex mu;
    static std::set<std::string> looked_at;
    std::lock_guard<std::mutex> lock(mu);
    if (!looked_at.insert(path).second) return;
  }
  if (KAVRO::ReadableByOthers(path)) {
    Log(kLogWarning, false,
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
  SetLogLevel(kLogInfo);
  LogAddingFile(Text(mail_file), Text(folder), Text(user_id));
  WarnIfRegistryReadable();

  auto store = std::make_unique<IMAP::ImapMailStorage>();
  store->SetUseViews(use_views);
  const int64_t user = Atoi64(user_id);
  const int64_t company = Atoi64(company_id);
  const KAVRO::NTime date = CallDate(Text(internal_date));
  const std::u16string folder_name = IMAP::ConvertUtf8FolderNameToUtf16(Text(folder));

  const int32_t result = store->AddMessageToFolder(Text(mail_file), folder_name, true, user,
                                                   company, CallFlags(seen, draft), date);
  if (result == IMAP::kImapOk) {
    LogFileAdded();
  } else {
    Log(kLogError, true,
        "AddMailToMailStore(): Error when adding file: " + IMAP::ErrorText(result) +
            ". Last exception: " + store->GetLastExceptionText());
  }
  return result;
}

}  // namespace

// "LogDir" beside the host's executable (not beside this library). The
// separator is the store's own "\"; the file layer turns it into "/".
std::string CallLogDirectory() {
  const std::string base = KAVRO::DirectoryOf(KAVRO::ExecutablePath(), true);
  std::string directory = base;
  if (!base.empty() && base.back() != '\\' && base.back() != '/') directory += '\\';
  return directory + "LogDir";
}

void BeginCallLogging() {
  SetLogLevel(kLogInfo);
  WarnIfRegistryReadable();
}

void LogAddingFile(const std::string& mail_file, const std::string& folder,
                   const std::string& user_id) {
  if (LogLevelAtLeast(kLogStatus)) {
    Log(kLogStatus, false,
        "AddMailToMailStore(): Adding file " + mail_file + " to IMAP storage. User: " + user_id +
            ". Folder: " + folder + ".");
  }
}

void LogFileAdded() {
  if (LogLevelAtLeast(kLogStatus)) {
    Log(kLogStatus, false, "AddMailToMailStore(): File added successfully.");
  }
}

uint32_t CallFlags(bool seen, bool draft) {
  uint32_t flags = IMAP::kFlagRecent;
  if (seen) flags |= IMAP::kFlagSeen;
  if (draft) flags |= IMAP::kFlagDraft;
  return flags;
}

KAVRO::NTime CallDate(const std::string& internal_date) {
  KAVRO::NTime date;
  date.SetNow(true);
  (void)date.ParseMailDate(internal_date);  // unreadable: stays now (UTC)
  return date;
}

int32_t AddMailCall(const char* mail_file, const char* folder, const char* user_id,
                    const char* company_id, const char* internal_date, bool seen, bool draft,
                    bool use_views) noexcept {
  try {
    return RunLoggedCall(CallLogDirectory(), IMAP::kImapUnknownError, [&] {
      return AddMail(mail_file, folder, user_id, company_id, internal_date, seen, draft,
                     use_views);
    });
  } catch (...) {
    // Only the directory's name or the call's closure can fail here (memory).
    return IMAP::kImapUnknownError;
  }
}

}  // namespace Nauvik

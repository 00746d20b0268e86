#pragma once

// The body of the exported AddMailToMailStore call, for the library's export
// and for a host that links the store in (the importer's bulk mode): both
// run this code, so a mail gets the same result code and log lines either
// way. The pieces a batch of mails needs to say what the call says for each
// mail are here too.

#include <cstdint>
#include <string>

#include "foundation/NTime.h"

namespace Nauvik {

// One whole call inside its own logger (see RunLoggedCall).
int32_t AddMailCall(const char* mail_file, const char* folder, const char* user_id,
                    const char* company_id, const char* internal_date, bool seen, bool draft,
                    bool use_views) noexcept;

// "LogDir" beside the host's executable, where every call logs.
std::string CallLogDirectory();

// The level and the once-a-process registry warning every call starts with.
void BeginCallLogging();
// The lines of a call before and after a mail that was added.
void LogAddingFile(const std::string& mail_file, const std::string& folder,
                   const std::string& user_id);
void LogFileAdded();

// The call's reading of its arguments: the flags word and the internal date
// (an unreadable date is the current UTC time).
uint32_t CallFlags(bool seen, bool draft);
KAVRO::NTime CallDate(const std::string& internal_date);

}  // namespace Nauvik

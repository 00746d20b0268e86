#include "tools/MailSource.h"

#include <fstream>

#include "tools/MailText.h"
#include "tools/imap/ImapSource.h"

namespace Nauvik::Import {

bool LoadMail(const ImportItem& item, bool keep_line_ends, MailBytes* out, std::string* error) {
  if (IsImapUrl(item.path)) {  // the server's bytes, exactly as sent
    ImapSource* source = ActiveImapSource();
    out->changed = true;       // they exist in memory only
    if (source) return source->Load(item, &out->bytes, error);
    *error = item.path + ": no IMAP session in this run";
    return false;
  }
  std::ifstream in(item.path, std::ios::binary);
  if (!in) {
    *error = item.path + ": cannot be opened";
    return false;
  }
  std::string raw;
  if (item.mbox) {
    in.seekg(item.offset);
    raw.resize(item.length);
    in.read(raw.data(), static_cast<std::streamsize>(raw.size()));
    if (static_cast<uint64_t>(in.gcount()) != item.length) {
      *error = item.path + ": mbox changed since it was scanned (message at offset " +
               std::to_string(item.offset) + " is cut short)";
      return false;
    }
    // Drop the "From " line, and the empty line that separates this message
    // from the next one.
    size_t body = raw.find('\n');
    raw.erase(0, body == std::string::npos ? raw.size() : body + 1);
    if (raw.ends_with("\r\n\r\n")) {
      raw.resize(raw.size() - 2);
    } else if (raw.ends_with("\n\n")) {
      raw.pop_back();
    }
    raw = UnquoteMboxFrom(raw);
    out->changed = true;
  } else {
    raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
      *error = item.path + ": read error";
      return false;
    }
    out->changed = false;
  }
  if (keep_line_ends) {
    out->bytes = std::move(raw);
    return true;
  }
  if (ConvertToCrlf(raw, &out->bytes)) out->changed = true;
  return true;
}

}  // namespace Nauvik::Import

#include "tools/Journal.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

#include "foundation/Files.h"
#include "foundation/ResultCodes.h"
#include "tools/imap/ImapSource.h"

namespace Nauvik::Import {
namespace {

std::string UnescapePath(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char n = text[++i];
      out.push_back(n == 't' ? '\t' : n == 'n' ? '\n' : n);
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string RenumberKey(const ImapItemLocation& l, uint64_t size, uint64_t hash) {
  return l.account + '\n' + l.folder + '\n' + std::to_string(size) + '\n' + std::to_string(hash);
}

std::string Hex(uint64_t v) {
  char buf[20];
  snprintf(buf, sizeof buf, "%016" PRIx64, v);
  return buf;
}

}  // namespace

std::string Journal::EscapePath(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool Journal::ParseLine(const std::string& line, std::string* key, Entry* entry) {
  std::vector<std::string> fields;
  size_t pos = 0;
  for (int i = 0; i < 5; ++i) {
    size_t tab = line.find('\t', pos);
    if (tab == std::string::npos) return false;
    fields.push_back(line.substr(pos, tab - pos));
    pos = tab + 1;
  }
  const std::string path = UnescapePath(line.substr(pos));
  if (path.empty()) return false;
  if (fields[0] != "begin" && fields[0] != "done" && fields[0] != "skip") return false;
  try {
    entry->state = fields[0];
    entry->code = fields[1] == "-" ? 0 : std::stoi(fields[1]);
    entry->size = std::stoull(fields[3]);
    entry->hash = fields[4] == "-" ? 0 : std::stoull(fields[4], nullptr, 16);
    // An IMAP mail is named by its account as this release spells it.
    *key = CanonicalImapItemPath(path) + '\t' + std::to_string(std::stoll(fields[2]));
  } catch (const std::exception&) {
    return false;  // a line cut short by a crash
  }
  return true;
}

bool Journal::Open(const std::string& path, std::string* error) {
  path_ = path;
  bool needs_newline = false;
  {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      needs_newline = in.eof();  // the last line has no line end: it was cut short
      std::string key;
      Entry entry;
      if (ParseLine(line, &key, &entry)) entries_[key] = entry;
    }
    for (const auto& [key, entry] : entries_) {
      ImapItemLocation l;
      if (entry.state == "done" && entry.code == 0 &&
          ParseImapItemPath(key.substr(0, key.rfind('\t')), &l)) {
        renumbered_[RenumberKey(l, entry.size, entry.hash)].by_validity[l.uidvalidity]++;
      }
    }
  }
  KAVRO::CreateFileIfMissing(path);  // it names mail files: the owner's alone
  out_.open(path, std::ios::binary | std::ios::app);
  if (!out_) {
    *error = "cannot write the journal " + path;
    return false;
  }
  if (needs_newline) out_ << '\n' << std::flush;
  return true;
}

std::optional<Journal::Entry> Journal::Find(const std::string& key) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

bool Journal::TakeRenumbered(const ImportItem& item, uint64_t size, uint64_t hash) {
  ImapItemLocation l;
  if (!ParseImapItemPath(item.path, &l)) return false;
  std::lock_guard<std::mutex> lock(mu_);
  auto it = renumbered_.find(RenumberKey(l, size, hash));
  if (it == renumbered_.end()) return false;
  uint64_t earlier = 0;  // the most copies one numbering held
  for (const auto& [validity, count] : it->second.by_validity) {
    if (validity != l.uidvalidity) earlier = std::max(earlier, count);
  }
  if (it->second.taken >= earlier) return false;
  it->second.taken++;
  return true;
}

bool Journal::IsComplete(const std::string& key) const {
  auto e = Find(key);
  return e.has_value() && (e->state == "skip" || (e->state == "done" && e->code == 0));
}

void Journal::Write(const char* state, const std::string& code, const ImportItem& item,
                    uint64_t size, const std::string& hash) {
  std::ostringstream line;
  line << state << '\t' << code << '\t' << item.offset << '\t' << size << '\t' << hash << '\t'
       << EscapePath(item.path) << '\n';
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line.str() << std::flush;  // in the kernel before the next call starts
  // Only what an earlier run left is looked up (and settled) during a run;
  // an item new to the journal is in the file for the next run, and not
  // kept here, so that a run of millions of mails does not grow by each.
  auto it = entries_.find(item.Key());
  if (it == entries_.end()) return;
  Entry& e = it->second;
  e.state = state;
  e.code = code == "-" ? 0 : std::stoi(code);
  e.size = size;
  e.hash = hash == "-" ? 0 : std::stoull(hash, nullptr, 16);
}

void Journal::Begin(const ImportItem& item, uint64_t size, uint64_t hash) {
  Write("begin", "-", item, size, Hex(hash));
}

void Journal::Done(const ImportItem& item, int32_t code, uint64_t size, uint64_t hash) {
  Write("done", std::to_string(code), item, size, Hex(hash));
}

void Journal::Skip(const ImportItem& item) { Write("skip", "-", item, item.length, "-"); }

bool IsDatabaseError(int32_t code) {
  constexpr int32_t kBlobDatabaseError = 9;
  return code == IMAP::kImapOracleError || code == kBlobDatabaseError;
}

bool Journal::Unsettled(const Entry& entry) {
  return entry.state == "begin" || (entry.state == "done" && IsDatabaseError(entry.code));
}

std::vector<std::string> Journal::InDoubt() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<std::string> keys;
  for (const auto& [key, e] : entries_) {
    if (Unsettled(e)) keys.push_back(key);
  }
  return keys;
}

}  // namespace Nauvik::Import

#include "tools/Journal.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <vector>

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

// The server mail a journal key names: "imap", account, folder, UIDVALIDITY
// and UID, or, from an earlier release, the item path and its offset.
bool ImapLocationOfKey(const std::string& key, ImapItemLocation* l) {
  if (!key.starts_with("imap\t")) return ParseImapItemPath(key.substr(0, key.rfind('\t')), l);
  std::vector<std::string> parts;
  for (size_t pos = 0;;) {
    const size_t tab = key.find('\t', pos);
    parts.push_back(key.substr(pos, tab == std::string::npos ? tab : tab - pos));
    if (tab == std::string::npos) break;
    pos = tab + 1;
  }
  if (parts.size() != 5) return false;
  uint32_t uidvalidity = 0, uid = 0;
  const auto number = [](const std::string& text, uint32_t* v) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *v);
    return ec == std::errc() && end == text.data() + text.size();
  };
  if (!number(parts[3], &uidvalidity) || !number(parts[4], &uid)) return false;
  *l = ImapItemLocation{parts[1], parts[2], uidvalidity, uid};
  return true;
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

namespace {

// The tab-separated fields of `line`, unescaped.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (true) {
    const size_t tab = line.find('\t', pos);
    fields.push_back(UnescapePath(line.substr(pos, tab == std::string::npos ? tab : tab - pos)));
    if (tab == std::string::npos) return fields;
    pos = tab + 1;
  }
}

std::string OwnerText(const JournalOwner& o) {
  return "user " + o.user + " of company " + o.company + " into " + o.folder + " on " + o.store;
}

}  // namespace

bool Journal::ParseLine(const std::string& line, std::vector<std::string>* keys, Entry* entry) {
  const std::vector<std::string> f = Fields(line);
  // This release: 7 fields, the key last; earlier ones: 6, the path last.
  const bool legacy = f.size() == 6;
  if (!legacy && f.size() != 7) return false;
  if (f.back().empty()) return false;
  if (f[0] != "begin" && f[0] != "done" && f[0] != "skip") return false;
  int64_t offset = 0;
  try {
    entry->state = f[0];
    entry->code = f[1] == "-" ? 0 : std::stoi(f[1]);
    offset = std::stoll(f[2]);
    entry->size = std::stoull(f[3]);
    entry->hash = f[4] == "-" ? 0 : std::stoull(f[4], nullptr, 16);
  } catch (const std::exception&) {
    return false;  // a line cut short by a crash
  }
  entry->legacy = legacy;
  keys->clear();
  if (!legacy) {
    entry->flags = f[5] == "-" ? "" : f[5];
    keys->push_back(f[6]);
    return true;
  }
  entry->flags = "?";
  // An IMAP mail is named by its account as this release spells it.
  keys->push_back(LegacyJournalKey(CanonicalImapItemPath(f[5]), offset));
  // A Maildir file is found again after a client moved it to cur/ or
  // changed its flags.
  if (std::string maildir = LegacyMaildirKey(f[5]); offset < 0 && !maildir.empty()) {
    keys->push_back(std::move(maildir));
  }
  return true;
}

bool Journal::Load(const std::string& path, const JournalOwner& owner,
                   std::optional<JournalOwner>* recorded_owner, bool* cut_short,
                   std::string* error) {
  path_ = path;
  bool& needs_newline = *cut_short;
  needs_newline = false;
  std::optional<JournalOwner>& recorded = *recorded_owner;
  {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    std::vector<std::string> keys;
    while (std::getline(in, line)) {
      needs_newline = in.eof();  // the last line has no line end: it was cut short
      Entry entry;
      if (ParseLine(line, &keys, &entry)) {
        for (const auto& key : keys) entries_[key] = entry;
      } else if (std::vector<std::string> f = Fields(line);
                 !recorded && f.size() == 5 && f[0] == "import" && !needs_newline) {
        recorded = JournalOwner{f[1], f[2], f[3], f[4]};
      }
    }
    for (const auto& [key, entry] : entries_) {
      ImapItemLocation l;
      if (entry.state == "done" && entry.code == 0 && ImapLocationOfKey(key, &l)) {
        renumbered_[RenumberKey(l, entry.size, entry.hash)].by_validity[l.uidvalidity]++;
      }
    }
  }
  // The last record of each mbox message an earlier release recorded by offset.
  for (const auto& [key, e] : entries_) {
    const size_t tab = key.rfind('\t');
    if (!e.legacy || !IsComplete(e) || e.state == "skip" || key.ends_with("\t-1") ||
        key.starts_with("maildir\t") || tab == std::string::npos) {
      continue;
    }
    legacy_mbox_[{key.substr(0, tab), e.size, e.hash}]++;
  }
  auto differs = [](const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && a != b;
  };
  if (recorded && (differs(recorded->store, owner.store) || differs(recorded->user, owner.user) ||
                   differs(recorded->company, owner.company) ||
                   differs(recorded->folder, owner.folder))) {
    *error = "the journal " + path + " belongs to the import of " + OwnerText(*recorded) +
             ", not of " + OwnerText(owner) + "; give this import a journal of its own";
    return false;
  }
  return true;
}

bool Journal::Read(const std::string& path, const JournalOwner& owner, std::string* error) {
  std::optional<JournalOwner> recorded;
  bool cut_short = false;
  return Load(path, owner, &recorded, &cut_short, error);
}

bool Journal::Open(const std::string& path, const JournalOwner& owner, std::string* error) {
  std::optional<JournalOwner> recorded;
  bool needs_newline = false;
  if (!Load(path, owner, &recorded, &needs_newline, error)) return false;
  KAVRO::CreateFileIfMissing(path);  // it names mail files: the owner's alone
  out_.open(path, std::ios::binary | std::ios::app);
  if (!out_) {
    *error = "cannot write the journal " + path;
    return false;
  }
  if (needs_newline) out_ << '\n';
  if (!recorded) {
    out_ << "import\t" << EscapePath(owner.store) << '\t' << EscapePath(owner.user) << '\t'
         << EscapePath(owner.company) << '\t' << EscapePath(owner.folder) << '\n';
  }
  out_ << std::flush;
  return true;
}

std::optional<Journal::Entry> Journal::Find(const ImportItem& item) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = entries_.find(JournalKey(item));
  if (it == entries_.end()) it = entries_.find(LegacyJournalKey(item.path, item.offset));
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

bool Journal::HasLegacyMbox(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = legacy_mbox_.lower_bound({path, 0, 0});
  return it != legacy_mbox_.end() && std::get<0>(it->first) == path;
}

bool Journal::ClaimLegacyMbox(const std::string& path, uint64_t size, uint64_t hash) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = legacy_mbox_.find({path, size, hash});
  if (it == legacy_mbox_.end() || it->second == 0) return false;
  it->second--;
  return true;
}

bool Journal::IsComplete(const Entry& e) {
  return e.state == "skip" || (e.state == "done" && e.code == 0);
}

bool Journal::IsComplete(const ImportItem& item) const {
  auto e = Find(item);
  return e.has_value() && IsComplete(*e);
}

void Journal::Write(const char* state, const std::string& code, const ImportItem& item,
                    uint64_t size, const std::string& hash, const std::string& flags) {
  const std::string key = JournalKey(item);
  std::ostringstream line;
  line << state << '\t' << code << '\t' << item.offset << '\t' << size << '\t' << hash << '\t'
       << (flags.empty() ? "-" : flags) << '\t' << EscapePath(key) << '\n';
  std::lock_guard<std::mutex> lock(mu_);
  out_ << line.str() << std::flush;  // in the kernel before the next call starts
  // Only what an earlier run left is looked up (and settled) during a run;
  // an item new to the journal is in the file for the next run, and not
  // kept here, so that a run of millions of mails does not grow by each.
  auto it = entries_.find(key);
  if (it == entries_.end()) it = entries_.find(LegacyJournalKey(item.path, item.offset));
  if (it == entries_.end()) return;
  Entry& e = it->second;
  e.state = state;
  e.code = code == "-" ? 0 : std::stoi(code);
  e.size = size;
  e.hash = hash == "-" ? 0 : std::stoull(hash, nullptr, 16);
  e.flags = flags;
  e.legacy = false;
}

void Journal::Begin(const ImportItem& item, uint64_t size, uint64_t hash) {
  Write("begin", "-", item, size, Hex(hash), FlagLetters(item));
}

void Journal::Done(const ImportItem& item, int32_t code, uint64_t size, uint64_t hash) {
  Write("done", std::to_string(code), item, size, Hex(hash), FlagLetters(item));
}

void Journal::Skip(const ImportItem& item) { Write("skip", "-", item, item.length, "-", ""); }

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

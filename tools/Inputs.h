#pragma once

// Turns the paths of the command line into the ordered list of import items:
// single mail files, directory trees, Maildir and Maildir++ trees and mbox
// files. The order is stable (paths as given, directory entries sorted by
// name, mbox messages in file order) so that two runs give the same UIDs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Nauvik::Import {

enum class DateSource { kFile, kHeader };

// What an item is at its source, built once when the item is listed: the
// parts that stay the same while the old system is still in use, so that a
// later run over the same source recognises the mail. Its journal key and
// its name in the report are made from it by JournalKey and ReportName, and
// nothing takes them apart again.
struct ItemSource {
  enum class Kind : uint8_t { kFile, kMaildir, kMbox, kImap };
  struct ImapMessage {
    std::string account;
    std::string folder;  // the server's name
    uint32_t uidvalidity = 0;
    uint32_t uid = 0;
  };
  Kind kind = Kind::kFile;
  // Maildir: where in the item's path the folder's directory (holding cur/
  // and new/) ends, and where the file name up to ":2," lies: these stay
  // when a client moves the mail from new/ to cur/ or changes its flags.
  // Kept as positions: a listing of millions of mails holds one per mail.
  uint32_t directory_length = 0;
  uint32_t unique_begin = 0;
  uint32_t unique_length = 0;
  // mbox: how many messages before it in the file have the same bytes.
  uint32_t occurrence = 0;
  // mbox: size and hash of the message's own bytes (from its "From " line,
  // trailing empty lines left out); a client that rewrites the file moves
  // messages but keeps their bytes.
  uint64_t size = 0;
  uint64_t hash = 0;
  std::shared_ptr<const ImapMessage> imap;  // IMAP only

  static ItemSource Imap(std::string account, std::string folder, uint32_t uidvalidity,
                         uint32_t uid);
};

// One mail (or one non-mail file that is counted as skipped).
struct ImportItem {
  std::string path;     // absolute, lexically normal path of the file (the mbox for a message)
  int64_t offset = -1;  // mbox: byte offset of the message's "From " line; -1 for a file
  uint64_t length = 0;  // source bytes (mbox: "From " line up to the next message)
  std::string folder;   // target folder, UTF-8, "." between levels
  bool mbox = false;
  bool seen = false;
  bool draft = false;
  std::string other_flags;  // Maildir flags the store cannot take, one letter each
  std::string date;         // internal date from the source, RFC 822 text; "" = unknown
  std::string skip_reason;  // not empty: not mail, counted as skipped and never imported
  ItemSource source;
};

// The item's identity in the journal.
std::string JournalKey(const ImportItem& item);
// How earlier releases keyed the item in the journal: its path and mbox offset.
std::string LegacyJournalKey(const std::string& path, int64_t offset);
// The Maildir identity of a file that earlier releases recorded by its path;
// "" when the path is not in a cur/ or new/ directory.
std::string LegacyMaildirKey(const std::string& path);
// The item as the report names it (the report's other column holds the
// mbox offset).
std::string ReportName(const ImportItem& item);
// The folder the store makes of `folder`: ASCII letters in one case, each
// level cut to its first 100 UTF-16 characters. Two names with the same
// result end up in one folder (the store also folds the case of other
// letters, which this does not see).
std::string StoreFolderKey(const std::string& folder);

// The flags the source gave the item: S (seen), D (draft), then the Maildir
// letters of the others, sorted.
std::string FlagLetters(const ImportItem& item);

// Appends the items of `path` (file, directory, Maildir or mbox) to `items`,
// all of them below `folder`. Whatever cannot be imported (a FIFO, socket or
// device, a dangling link, an unreadable file or directory, at `path` or
// further down) becomes a skipped item with the reason, so that it is
// counted. Returns false with `error` set only when `path` does not exist or
// an mbox file fails while it is read.
bool CollectItems(const std::string& path, const std::string& folder,
                  std::vector<ImportItem>* items, std::string* error);

// Shard `index` of `count` (1 <= index <= count): shards that run at the same
// time must not both create a folder, so the first mail of every folder
// belongs to shard 1, which imports these first; every other item goes to
// the shard given by its position among the other items modulo `count`.
// Every item belongs to exactly one shard.
std::vector<ImportItem> SelectShard(std::vector<ImportItem> items, int index, int count);

// True for a file whose first line is an mbox envelope line ("From ", a
// sender, an asctime date). Files named *.eml and Maildir files are single
// mails whatever their first line; the caller does not ask for them.
bool LooksLikeMbox(const std::string& path);

// Scans an mbox file into one item per message (folder, date and offsets
// filled). A message begins at the file's start and at each envelope line
// that follows an empty line, except the empty line that ends the header
// block of a MIME body part; every other "From " line is body text. Returns
// false with `error` when the file cannot be read.
bool ScanMbox(const std::string& path, const std::string& folder, std::vector<ImportItem>* items,
              std::string* error);

}  // namespace Nauvik::Import

#pragma once

// Turns the paths of the command line into the ordered list of import items:
// single mail files, directory trees, Maildir and Maildir++ trees and mbox
// files. The order is stable (paths as given, directory entries sorted by
// name, mbox messages in file order) so that two runs give the same UIDs.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
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
// all of them below `folder`: every item an ItemLister over `path` lists.
// Whatever cannot be imported (a FIFO, socket or device, a dangling link, an
// unreadable file or directory, at `path` or further down) becomes a skipped
// item with the reason, so that it is counted. Returns false with `error`
// set only when `path` does not exist or an mbox file fails while it is read.
bool CollectItems(const std::string& path, const std::string& folder,
                  std::vector<ImportItem>* items, std::string* error);

// Lists the items of the inputs in a stable order (inputs as given,
// directory entries sorted by name, mbox messages in file order), a window
// at a time, so that a run over millions of mails holds the items of one
// window, not of the whole run. Between windows it keeps only where it is:
// the entries of the directories it is in, the mbox file it reads and where.
class ItemLister {
 public:
  // An input that is no path (an IMAP URL), listed a part (a folder) at a
  // time as the lister reaches it.
  class RemoteInput {
   public:
    virtual ~RemoteInput() = default;
    // Appends the items of the next part that has any; false when none is
    // left, with `error` set when the listing failed.
    virtual bool Next(std::vector<ImportItem>* items, std::string* error) = 0;
  };
  // Starts listing a remote input; null with `error` when it cannot.
  using RemoteOpener =
      std::function<std::unique_ptr<RemoteInput>(const std::string& input, std::string* error)>;
  // `is_remote` tells which inputs `remote` lists; every other input is a path.
  ItemLister(std::vector<std::string> inputs, std::string folder,
             std::function<bool(const std::string&)> is_remote = {}, RemoteOpener remote = {});
  ~ItemLister();
  ItemLister(const ItemLister&) = delete;
  ItemLister& operator=(const ItemLister&) = delete;

  // Replaces `items` with the next at most `max` (>= 1) items. False when
  // none is left, with `error` set when an input failed: a path that does
  // not exist (all are looked at before the first item is listed), an mbox
  // file that cannot be read, a remote input that cannot be listed.
  bool Next(size_t max, std::vector<ImportItem>* items, std::string* error);

  // The most items the lister held at once, not counting those handed out:
  // at most `max` (one more when both cur/ and new/ of a Maildir folder
  // cannot be read), except that a part of a remote input is held whole.
  size_t peak() const { return peak_; }

 private:
  struct Frame;
  struct MboxWalk;
  // Each step lists at most one item (a directory that cannot be read is
  // one; a remote input's part is all its items); false with `error` when
  // an input fails.
  bool Step(std::string* error);
  bool StartInput(const std::string& input, std::string* error);
  void ListFrame();
  bool StepEntry(std::string* error);
  bool StepMbox(std::string* error);
  bool OpenMbox(const std::filesystem::path& path, uint64_t size, const std::string& mbox_folder,
                const std::string& folder, std::string* error);

  const std::vector<std::string> inputs_;
  const std::string folder_;
  const std::function<bool(const std::string&)> is_remote_;
  const RemoteOpener remote_;
  size_t input_ = 0;  // the next input to start
  bool checked_ = false;
  std::vector<Frame> stack_;        // the directories being walked, innermost last
  std::unique_ptr<MboxWalk> mbox_;  // the mbox file being read, if any
  std::unique_ptr<RemoteInput> remote_input_;  // the remote input being listed, if any
  std::vector<ImportItem> ready_;   // listed, not handed out yet
  size_t peak_ = 0;
};

// Shard `index` of `count` (1 <= index <= count): shards that run at the same
// time must not both create a folder, so the first mail of every folder
// belongs to shard 1, which imports these first; every other item goes to
// the shard given by its position among the other items modulo `count`.
// Every item belongs to exactly one shard. Items are given in windows, in
// listing order; what decides needs only the folders seen so far and a count.
class ShardSelector {
 public:
  ShardSelector(int index, int count) : index_(index), count_(count) {}
  // This shard's items of the next window: its folders' first mails, then
  // the others, each in listing order.
  std::vector<ImportItem> Select(std::vector<ImportItem> items);

 private:
  const int index_;
  const int count_;
  std::set<std::string> folders_;  // folder keys of the mails seen so far
  size_t position_ = 0;            // items seen that are no folder's first mail
};

// The shard's items of a whole listing.
std::vector<ImportItem> SelectShard(std::vector<ImportItem> items, int index, int count);

// True for a file whose first line is an mbox envelope line ("From ", a
// sender, an asctime date). Files named *.eml and Maildir files are single
// mails whatever their first line; the caller does not ask for them.
bool LooksLikeMbox(const std::string& path);

// Reads an mbox file message by message. A message begins at the file's
// start and at each envelope line that follows an empty line, except the
// empty line that ends the header block of a MIME body part; every other
// "From " line is body text.
class MboxScanner {
 public:
  // False with `error` when the file cannot be opened.
  bool Open(const std::string& path, const std::string& folder, std::string* error);
  // The next message (folder, date and offsets filled); false at the end of
  // the file, with `error` set when reading failed.
  bool Next(ImportItem* item, std::string* error);

 private:
  bool Close(int64_t end, ImportItem* item);
  void HashLine(const std::string& raw, bool has_end);

  std::ifstream in_;
  std::string path_;
  std::string folder_;
  int64_t pos_ = 0;
  ImportItem current_;
  bool open_ = false;
  // The message's own bytes are hashed as they are read; empty lines wait
  // until a line with text follows, so that the empty line an mbox writer
  // puts before the next message does not count.
  std::string blank_lines_;
  // Size and hash -> messages of the file so far with these bytes.
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> seen_;
  bool after_empty_ = true;
  bool after_part_headers_ = false;
  int part_header_lines_ = -1;  // >= 0: in the header block of a body part
};

// Scans an mbox file into one item per message, as MboxScanner reads them.
// Returns false with `error` when the file cannot be read.
bool ScanMbox(const std::string& path, const std::string& folder, std::vector<ImportItem>* items,
              std::string* error);

}  // namespace Nauvik::Import

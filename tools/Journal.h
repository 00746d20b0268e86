#pragma once

// The import journal: one line per item as it starts and as it completes,
// appended and flushed at once, so that a run that was stopped or killed is
// resumed by running the same command again. Thread-safe.
//
// Line format (tab separated; the key last, with \t, \n and \\ escaped):
//   import <store> <user> <company> <folder>            whose import this is (first line)
//   begin  -      <offset> <size> <hash> <flags> <key>  the call is about to be made
//   done   <code> <offset> <size> <hash> <flags> <key>  the library returned <code>
//   skip   -      <offset> <size> -      -       <key>  not mail, never imported
// <size> and <hash> are those of the bytes given to the library, <flags>
// those of the source then (FlagLetters, "-" for none). Earlier releases
// wrote no import line, no flags, and the item's path in place of the key;
// such lines are read as well, once, when the journal is opened.

#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/Inputs.h"

namespace Nauvik::Import {

// The library's two answers for a failed database statement: the store's
// 1001, and 9 from the blob storage (its record insert), passed on unchanged.
// Either can come after the mail was stored or linked.
bool IsDatabaseError(int32_t code);

// The import a journal belongs to; a journal is used for no other.
struct JournalOwner {
  std::string store;  // the database, as host:port/name
  std::string user;
  std::string company;
  std::string folder;  // the target folder
  bool operator==(const JournalOwner&) const = default;
};

class Journal {
 public:
  struct Entry {
    std::string state;  // "begin", "done" or "skip": the last line for the item
    int32_t code = 0;
    uint64_t size = 0;
    uint64_t hash = 0;
    std::string flags;    // the source's flags when recorded; "?" when not recorded
    bool legacy = false;  // found by the path an earlier release recorded
  };

  // Reads what an earlier run recorded in `path` (a missing file is an empty
  // journal) and opens it for appending. False with `error` when the file
  // cannot be read or written, or when it belongs to another import than
  // `owner` (a journal of an earlier release, which names none, is taken).
  bool Open(const std::string& path, const JournalOwner& owner, std::string* error);
  // As Open, but only reads (a dry run): nothing is written, and an owner
  // field left empty is not compared.
  bool Read(const std::string& path, const JournalOwner& owner, std::string* error);

  // The last record of `item` that the journal held when it was opened,
  // updated by this object's writes since: by its key, else by the path an
  // earlier release recorded; nullopt for any other item.
  std::optional<Entry> Find(const ImportItem& item) const;

  // An earlier release recorded mbox messages by offset, which moves when a
  // client rewrites the file. True when the journal holds such records for
  // the mbox at `path`; ClaimLegacyMbox then takes one completed record of
  // a message there with exactly these bytes (size and content hash of what
  // the library was given), false when none is left.
  bool HasLegacyMbox(const std::string& path) const;
  bool ClaimLegacyMbox(const std::string& path, uint64_t size, uint64_t hash);

  // True when the record needs no further call: imported (code 0) or skipped.
  static bool IsComplete(const Entry& entry);
  bool IsComplete(const ImportItem& item) const;

  // True when `item` is a mail of a server folder that was renumbered
  // (new UIDVALIDITY) since an earlier run imported the same bytes from it
  // under another UID; each such earlier import is taken once.
  bool TakeRenumbered(const ImportItem& item, uint64_t size, uint64_t hash);

  void Begin(const ImportItem& item, uint64_t size, uint64_t hash);
  void Done(const ImportItem& item, int32_t code, uint64_t size, uint64_t hash);
  void Skip(const ImportItem& item);

  // Whether the mail reached its folder is not known: the run ended during
  // the call ("begin"), or the call ended with a database error.
  static bool Unsettled(const Entry& entry);

  // Keys of the items whose last record is unsettled.
  std::vector<std::string> InDoubt() const;

  const std::string& path() const { return path_; }

  static std::string EscapePath(const std::string& path);
  // Keys under which a line's record is found: one, or for a Maildir file
  // recorded by path, its path and its Maildir identity.
  static bool ParseLine(const std::string& line, std::vector<std::string>* keys, Entry* entry);

 private:
  // Reads the file; `recorded` gets its import line, `cut_short` whether
  // its last line lacks its line end. False when the owner differs.
  bool Load(const std::string& path, const JournalOwner& owner,
            std::optional<JournalOwner>* recorded, bool* cut_short, std::string* error);
  void Write(const char* state, const std::string& code, const ImportItem& item, uint64_t size,
             const std::string& hash, const std::string& flags);

  std::string path_;
  mutable std::mutex mu_;
  std::ofstream out_;                     // guarded by mu_
  std::map<std::string, Entry> entries_;  // read at Open, then only updated; guarded by mu_
  // Server folder and mail (size, hash) -> imported copies per UIDVALIDITY,
  // and how many of them this run took; guarded by mu_.
  struct Renumbered {
    std::map<uint32_t, uint64_t> by_validity;
    uint64_t taken = 0;
  };
  std::map<std::string, Renumbered> renumbered_;
  // Completed mbox records of an earlier release: path, size, hash -> how
  // many are not claimed yet. Guarded by mu_.
  std::map<std::tuple<std::string, uint64_t, uint64_t>, uint64_t> legacy_mbox_;
};

}  // namespace Nauvik::Import

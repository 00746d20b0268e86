#pragma once

// The import journal: one line per item as it starts and as it completes,
// appended and flushed at once, so that a run that was stopped or killed is
// resumed by running the same command again. Thread-safe.
//
// Line format (tab separated, the path last with \t, \n and \\ escaped):
//   begin  -     <offset> <size> <hash> <path>   the call is about to be made
//   done   <code> <offset> <size> <hash> <path>  the library returned <code>
//   skip   -     <offset> <size> -      <path>   not mail, never imported

#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/Inputs.h"

namespace Nauvik::Import {

// The library's two answers for a failed database statement: the store's
// 1001, and 9 from the blob storage (its record insert), passed on unchanged.
// Either can come after the mail was stored or linked.
bool IsDatabaseError(int32_t code);

class Journal {
 public:
  struct Entry {
    std::string state;  // "begin", "done" or "skip": the last line for the item
    int32_t code = 0;
    uint64_t size = 0;
    uint64_t hash = 0;
  };

  // Reads what an earlier run recorded in `path` (a missing file is an empty
  // journal) and opens it for appending. False with `error` when the file
  // cannot be read or written.
  bool Open(const std::string& path, std::string* error);

  // The last record of an item that the journal held when it was opened,
  // updated by this object's writes since; nullopt for any other item.
  std::optional<Entry> Find(const std::string& key) const;

  // True when the item needs no further call: imported (code 0) or skipped.
  bool IsComplete(const std::string& key) const;

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
  static bool ParseLine(const std::string& line, std::string* key, Entry* entry);

 private:
  void Write(const char* state, const std::string& code, const ImportItem& item, uint64_t size,
             const std::string& hash);

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
};

}  // namespace Nauvik::Import

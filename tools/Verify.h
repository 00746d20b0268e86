#pragma once

// --verify: reads every imported mail back through the database and compares
// its blob file with the bytes that were given to the library.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/Inputs.h"
#include "tools/Store.h"

namespace Nauvik::Import {

class ImapSource;

struct VerifyResult {
  uint64_t checked = 0;
  uint64_t matched = 0;
  std::vector<std::string> problems;  // one line per item that differs or has no link
  // Links matched so far, by folder key and UID: a run checked a window at
  // a time matches each link once over all its windows.
  std::map<std::string, std::vector<bool>> used;
};

// Checks the items `which` (indices into `items`): each must have its own link
// in its folder whose blob holds the same bytes (links are matched one to one,
// also across calls with the same `result`, so a mail imported twice needs
// two links). False with `error` when the
// database cannot be read.
// Checks the items `which` in VerifyOrder, so that a source that fetches
// ahead can fetch in that order.
bool VerifyImport(StoreQueries* store, int64_t user_id, bool keep_line_ends, ImapSource* imap,
                  const std::vector<ImportItem>& items, const std::vector<size_t>& which,
                  VerifyResult* result, std::string* error);

// The order VerifyImport reads the items `which`: folder by folder.
std::vector<size_t> VerifyOrder(const std::vector<ImportItem>& items,
                                const std::vector<size_t>& which);

}  // namespace Nauvik::Import

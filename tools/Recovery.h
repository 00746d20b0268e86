#pragma once

// A call can end without its outcome being known: the run was killed during
// it, or it returned the database error, which the library also reports when
// the mail was linked and only a later statement failed. Importing such an
// item again could link the mail twice; counting it failed could lose it.
// This looks in the store instead.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/Importer.h"
#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/Store.h"

namespace Nauvik::Import {

// `walk` calls `visit` for every item of the run, in listing order; false
// with `error` when the listing failed.
using ItemWalk = std::function<bool(const std::function<void(const ImportItem&)>& visit,
                                    std::string* error)>;
// For every item of the run whose journal record is unsettled (a "begin"
// line, or the database error): when its folder holds more links with exactly
// these bytes than the journal accounts for, the item is recorded as done
// (result 0) and counted in `found`; otherwise it stays open and the run
// imports it. The run's items are walked twice. False with `error` when the
// store or the listing cannot be read (nothing is recorded then).
bool ResolveInDoubt(StoreQueries* store, int64_t user_id, bool keep_line_ends, ImapSource* imap,
                    const ItemWalk& walk, Journal* journal, uint64_t* found, std::string* error);
// Content hashes of the blobs of `links` whose size is one of `sizes`, with
// how many links hold each. Blobs of other sizes are not read.
std::map<uint64_t, uint64_t> LinkedContent(const std::vector<StoreQueries::Link>& links,
                                           const std::set<uint64_t>& sizes);

// Bounds what the importer's own queries on `db` may cost a production
// database: a statement, and a wait for a lock, that take too long fail
// instead of holding the library's writes up.
void LimitStatements(StoreDatabase* db);

// A StoreProbe on a connection of its own to `connection`, for `user_id`'s
// folders; `views` as the library's use_views. It connects again after the
// database went away.
std::unique_ptr<StoreProbe> NewStoreProbe(const std::string& connection, bool views,
                                          int64_t user_id);

}  // namespace Nauvik::Import

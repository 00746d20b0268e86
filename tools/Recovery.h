#pragma once

// After a crash or a kill, the journal can hold items whose call had begun
// but whose outcome was never written: the mail may or may not have reached
// its folder. Importing them again could link a mail twice; skipping them
// could lose it. This looks in the store instead.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/Store.h"

namespace Nauvik::Import {

// For every item of `items` whose last journal record is "begin": when its
// folder holds more links with exactly these bytes than the journal accounts
// for, the item is recorded as done (result 0) and counted in `found`;
// otherwise it stays open and the run imports it. False with `error` when
// the store cannot be read (nothing is recorded then).
bool ResolveInDoubt(StoreQueries* store, int64_t user_id, bool keep_line_ends,
                    const std::vector<ImportItem>& items, Journal* journal, uint64_t* found,
                    std::string* error);

}  // namespace Nauvik::Import

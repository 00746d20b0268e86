#pragma once

// --dry-run: what an import of these items would do, asked before it is
// made. Reads the journal (never writes it), and, when the store can be
// reached, only reads: whether the user exists, whether the user may put
// mail into each target folder or create it, whether the bytes fit on the
// writable storage hosts, and about how long the import takes.

#include <functional>
#include <string>
#include <vector>

#include "tools/Inputs.h"
#include "tools/Options.h"

namespace Nauvik::Import {

// The registry file the library reads: --registry, else MAILSTORAGE_REGISTRY,
// else the installed default.
std::string RegistryPath(const ImportOptions& o);

// Prints the answers on standard output; returns an exit status (0 unless the
// journal or report cannot be used).
// The items come a window at a time from `next_window`, which is false
// when none is left (with `error` set when the listing failed).
using WindowSource = std::function<bool(std::vector<ImportItem>* items, std::string* error)>;
int DryRun(const ImportOptions& o, const WindowSource& next_window);

}  // namespace Nauvik::Import

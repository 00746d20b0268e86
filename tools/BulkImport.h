#pragma once

// The bulk mode of the importer (--bulk): the mails of a run go into the
// store in batches, one transaction each, through the store's batch
// operation, run in this process. The library is not loaded: the store's
// code is linked into the tool, so there is one log broker and one set of
// connections, and the two cannot be different builds. What the batch
// operation leaves to the per-mail way (a folder's first mail when the
// folder is new, a mail it refuses, every mail of a batch that failed) goes
// through the code of the library's exported call, in this process too.
//
// Journal: "begin" for every mail of a batch before it is written, "done"
// once its transaction has committed; a run stopped in between leaves the
// mails in doubt, and the next run finds the committed ones by the journal's
// recovery lookups.

#include <cstdint>
#include <vector>

#include "tools/Importer.h"
#include "tools/Inputs.h"
#include "tools/Journal.h"
#include "tools/Options.h"
#include "tools/Report.h"

namespace Nauvik::Import {

// Imports `items` in batches of at most options.batch_mails mails and
// options.batch_mb MB. With several threads each takes whole folders, so a
// folder's mails keep their order.
// `imported` receives the indices of the items imported with result 0.
Summary RunBulkImport(const ImportOptions& options, const std::vector<ImportItem>& items,
                      Journal* journal, ReportWriter* report, ImapSource* imap,
                      std::vector<size_t>* imported);

}  // namespace Nauvik::Import

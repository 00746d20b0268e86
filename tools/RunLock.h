#pragma once

// Keeps the same import from running twice at once, and keeps the store
// checker's repair away from users an import is writing to.
//
// - The journal is locked (flock) for the whole run: a second run with the
//   same journal stops at once and names the process that holds it.
// - In the store, on the importer's own connection (so imports on other
//   machines see it too), session-level advisory locks:
//     a run lock, exclusive, keyed by user, target folder and shard: a second
//     run of the same import stops (unless allowed knowingly);
//     an "import running" lock, shared, that the repair takes exclusively, and
//     a shared lock per user, by which the repair names the users being
//     imported into while it leaves their records alone.
//   The locks last as long as the connection: the server drops them when the
//   process ends, however it ends.

#include <cstdint>
#include <string>

#include "foundation/Files.h"

namespace Nauvik::Import {

class StoreDatabase;

// The first key of the store's advisory locks of imports (the second is 0
// for "an import is running", else a user's key). The checker uses the same.
inline constexpr int32_t kImportLockSpace = 0x4D534931;  // "MSI1"
inline constexpr int32_t kImportUserLockSpace = 0x4D534932;
// A user id as the second key of its lock.
int32_t UserLockKey(int64_t user_id);

class JournalLock {
 public:
  // Locks the journal at `path` (created when missing) until this object
  // ends. False with `error` naming the journal and, when it can be told,
  // the process holding it.
  bool Lock(const std::string& path, std::string* error);

 private:
  KAVRO::UniqueFd fd_;
};

struct RunKey {
  int64_t user_id = 0;
  std::string folder;
  int shard_index = 1;
  int shard_count = 1;
};

// Takes the store's locks of an import run on `db`, which must stay
// connected for the run. Waits while a repair runs. With `allow_parallel`
// the run lock is not taken. False with `error` when another run of the
// same import holds the run lock or the locks cannot be taken.
bool LockStoreForRun(StoreDatabase* db, const RunKey& key, bool allow_parallel,
                     std::string* error);

}  // namespace Nauvik::Import

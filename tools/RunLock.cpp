#include "tools/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <vector>

#include "tools/Store.h"

namespace Nauvik::Import {
namespace {

// The process holding a flock on the file, from /proc/locks; 0 when it
// cannot be told.
long FlockHolder(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return 0;
  std::ifstream locks("/proc/locks");
  std::string line;
  while (std::getline(locks, line)) {
    if (line.find("->") != std::string::npos) continue;  // a waiter, not a holder
    char kind[16] = {}, mode[16] = {};
    long pid = 0;
    unsigned dev_major = 0, dev_minor = 0;
    unsigned long inode = 0;
    if (sscanf(line.c_str(), "%*d: %15s %*s %15s %ld %x:%x:%lu", kind, mode, &pid, &dev_major,
               &dev_minor, &inode) == 6 &&
        std::string(kind) == "FLOCK" && inode == st.st_ino && dev_major == major(st.st_dev) &&
        dev_minor == minor(st.st_dev)) {
      return pid;
    }
  }
  return 0;
}

// FNV-1a: the run's key for the store's lock, the same on every machine.
int64_t RunLockKey(const RunKey& key) {
  std::string text = std::to_string(key.user_id) + '\n';
  for (char c : key.folder) text += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  text += '\n' + std::to_string(key.shard_index) + '/' + std::to_string(key.shard_count);
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : text) h = (h ^ c) * 1099511628211ULL;
  return static_cast<int64_t>(h);
}

// The first column of the first row of `sql` ("" for no row); false with
// `error` when the query fails.
bool Value(StoreDatabase* db, const std::string& sql, std::string* value, std::string* error) {
  std::vector<StoreDatabase::Row> rows;
  if (!db->Query(sql, {}, &rows, error)) return false;
  *value = rows.empty() || rows[0].empty() ? "" : rows[0][0];
  return true;
}

bool IsTrue(const std::string& value) { return value == "1" || value == "t" || value == "true"; }

}  // namespace

int32_t UserLockKey(int64_t user_id) {
  const auto u = static_cast<uint64_t>(user_id);
  return static_cast<int32_t>(static_cast<uint32_t>(u ^ (u >> 32)));
}

bool JournalLock::Lock(const std::string& path, std::string* error) {
  fd_ = KAVRO::UniqueFd::Open(path, O_RDWR | O_CREAT);
  if (!fd_.Valid()) {
    *error = "cannot open the journal " + path + ": " + KAVRO::LastErrorText();
    return false;
  }
  while (flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      *error = "cannot lock the journal " + path + ": " + KAVRO::LastErrorText();
      return false;
    }
    const long holder = FlockHolder(fd_.Get());
    *error = "the journal " + path + " is in use by another run" +
             (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
             "; wait for it to end, or give another --journal";
    fd_.Reset();
    return false;
  }
  return true;
}

bool LockStoreForRun(StoreDatabase* db, const RunKey& key, bool allow_parallel,
                     std::string* error) {
  const std::string running = std::to_string(kImportLockSpace) + ", 0";
  std::string value;
  if (!Value(db, "SELECT pg_try_advisory_lock_shared(" + running + ")", &value, error)) {
    *error = "cannot take the store's import lock: " + *error;
    return false;
  }
  if (!IsTrue(value)) {
    fprintf(stderr, "mailstorage-import: waiting for mailstorage-check --repair to end\n");
    if (!Value(db, "SELECT 1 FROM (SELECT pg_advisory_lock_shared(" + running + ")) L", &value,
               error)) {
      *error = "cannot take the store's import lock: " + *error;
      return false;
    }
  }
  if (!Value(db,
             "SELECT pg_try_advisory_lock_shared(" + std::to_string(kImportUserLockSpace) + ", " +
                 std::to_string(UserLockKey(key.user_id)) + ")",
             &value, error)) {
    *error = "cannot take the store's user lock: " + *error;
    return false;
  }
  if (allow_parallel) return true;
  const int64_t run = RunLockKey(key);
  if (!Value(db, "SELECT pg_try_advisory_lock(" + std::to_string(run) + ")", &value, error)) {
    *error = "cannot take the store's run lock: " + *error;
    return false;
  }
  if (IsTrue(value)) return true;
  // The holder's database session, as the server sees it.
  const auto u = static_cast<uint64_t>(run);
  std::string holder;
  Value(db,
        "SELECT L.pid || COALESCE(' from ' || host(A.client_addr), '') FROM pg_locks L LEFT JOIN "
        "pg_stat_activity A ON A.pid = L.pid WHERE L.locktype = 'advisory' AND L.granted AND "
        "L.objsubid = 1 AND L.classid = " +
            std::to_string(u >> 32) + " AND L.objid = " + std::to_string(u & 0xFFFFFFFFu),
        &holder, error);
  *error = "another run imports into user " + std::to_string(key.user_id) + ", folder " +
           key.folder + ", shard " + std::to_string(key.shard_index) + "/" +
           std::to_string(key.shard_count) + " now" +
           (holder.empty() ? std::string() : " (database session " + holder + ")") +
           "; wait for it to end, or give --allow-parallel-runs to run both knowingly";
  return false;
}

}  // namespace Nauvik::Import

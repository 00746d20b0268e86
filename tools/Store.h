#pragma once

// The importer's own read access to the store, separate from the library's:
// one plain ODBC connection, made from the registry file as the library makes
// its own, used to check the user before importing, to recognise mails
// that are already stored, and to read back what was imported (--verify).
// One StoreDatabase per thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Nauvik::Import {

// The connection string the library builds from the registry file at `path`,
// read with the library's own reader, for the importer's own connection. ""
// with `error` when the file cannot be read, lacks the key
// Software\Nauvik\Ostrel or names no DatabaseHost.
std::string StoreConnectionString(const std::string& path, std::string* error);

class StoreDatabase {
 public:
  using Row = std::vector<std::string>;

  StoreDatabase();
  ~StoreDatabase();
  StoreDatabase(const StoreDatabase&) = delete;
  StoreDatabase& operator=(const StoreDatabase&) = delete;

  bool Connect(const std::string& connection_string, std::string* error);

  // Runs `sql` with `params` bound in order as text; every column comes back
  // as UTF-8 text ("" for NULL). False with `error` (driver diagnostics).
  bool Query(const std::string& sql, const std::vector<std::string>& params, std::vector<Row>* rows,
             std::string* error);
  // As Query, with the statement prepared on first use and kept, with its
  // server-side plan, for the next call with the same `sql`.
  bool QueryPrepared(const std::string& sql, const std::vector<std::string>& params,
                     std::vector<Row>* rows, std::string* error);
  bool Execute(const std::string& sql, std::string* error);

 private:
  struct Handles;
  std::unique_ptr<Handles> h_;
};

// Queries of the store's tables; `views` picks the NV_ views or the NS_ tables
// as the library's use_views argument does.
class StoreQueries {
 public:
  StoreQueries(StoreDatabase* db, bool views) : db_(db), views_(views) {}

  enum class UserState { kLive, kDeleted, kUnknown };
  std::optional<UserState> User(int64_t user_id, std::string* error);

  // Full folder names (lower-case ASCII, "." separated, the inbox as "inbox")
  // of the user's folders, to their ids.
  std::optional<std::map<std::string, int64_t>> Folders(int64_t user_id, std::string* error);

  struct Link {
    int64_t link_id = 0;
    int64_t uid = 0;
    uint64_t size = 0;
    std::string blob_path;  // host path + location, with "/" separators
  };
  // The folder's links with a UID above `after_uid`, in UID order.
  std::optional<std::vector<Link>> Links(int64_t folder_id, std::string* error,
                                         int64_t after_uid = 0);
  // The folder's highest UID, 0 when it holds no link.
  std::optional<int64_t> LastUid(int64_t folder_id, std::string* error);

  // The highest UID of each of the user's folders that holds a link, by
  // folder name as Folders() gives it.
  std::optional<std::map<std::string, int64_t>> LastUids(int64_t user_id, std::string* error);

  // True when a message with this Message-ID text and size is stored (the
  // library then only links it again).
  std::optional<bool> MessageStored(const std::string& message_id, uint64_t size,
                                    std::string* error);

 private:
  std::string Name(const char* table) const;
  StoreDatabase* db_;
  bool views_;
};

std::string FolderKey(const std::string& folder);  // lower-case ASCII, as Folders() keys

}  // namespace Nauvik::Import

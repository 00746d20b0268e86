#pragma once

// Per-thread ODBC connections.
//
// The process has one ConnectionManager, created on first use and destroyed
// when the library is unloaded. It owns the ODBC environment and a table
// thread id (gettid) -> connection string -> CODBCDatabase. A connection is
// opened by a thread's first table access and stays open until the thread
// calls CloseThreadDatabases() (the host's CloseDatabase), a database error
// makes the store close it, or the process ends. A connection and its
// statements are used only by the thread that opened it.
//
// Process-wide lock: ConnectionManager::mu_ guards the manager's creation,
// the connection table, the connection strings, the default provider and the
// public statement id counter. It is never held while a connection is being
// opened. Lock order: manager lock, then a connection's own lock.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "db/DBException.h"
#include "db/Dialect.h"

namespace Nauvik {

// ODBC handles as the driver manager hands them out (SQLHANDLE). Kept opaque
// here so that callers of this header need no ODBC headers.
using OdbcHandle = void*;

// One ODBC connection of one thread.
class CODBCDatabase {
 public:
  // Allocates the connection handle on `environment`. Throws DBException
  // "CODBCDatabase::CODBCDatabase: SQLAllocHandle failed: " + diagnostics.
  CODBCDatabase(OdbcHandle environment, const std::string& connect_string);
  // Disconnects and frees the handle; the statements must already be freed.
  virtual ~CODBCDatabase();
  CODBCDatabase(const CODBCDatabase&) = delete;
  CODBCDatabase& operator=(const CODBCDatabase&) = delete;

  virtual void Disconnect();
  // Connects with `connect_string` (or the stored one when empty). Does
  // nothing when connected already. Throws DBException with the diagnostic
  // text when the driver refuses.
  virtual void Connect(const std::string& connect_string);

  // SQL_ATTR_AUTOCOMMIT on/off; logs and keeps the old flag on failure.
  void p_SetAutoCommit(bool on);
  // The same without the log line; false on failure (a lost connection).
  bool TrySetAutoCommit(bool on);

  // The calling thread's connection for `connect_string` (empty: the string
  // of `provider`, 0: the default provider), connected on first use. Null when
  // the resolved string is empty (logged). Throws DBException "Database
  // Provider not properly set" or the connect failure's text.
  static CODBCDatabase* GetDB(const std::string& connect_string, int32_t provider);
  // The same lookup without opening anything; null when there is none.
  static CODBCDatabase* FindDB(const std::string& connect_string, int32_t provider);

  // This connection's statement for a public statement id, allocated on
  // first request; null when that fails.
  OdbcHandle GetStmtHandle(uint64_t public_id);
  // Frees one public id's statement, or all of them for id 0. Never throws.
  void FreeStmtHandle(uint64_t public_id);
  size_t StatementCount() const;

  // "SQL State: S; Native Error: N; Error Text: M" of record 1 of a handle,
  // or "SQL Failed! Even Get Diagnostics (SQLGetDiagRec) failed!  " + code.
  static std::string GetDiagText(int16_t handle_type, OdbcHandle handle);

  OdbcHandle Handle() const { return dbc_; }
  bool IsConnected() const { return connected_; }
  bool AutoCommit() const { return autocommit_; }
  const std::string& ConnectString() const { return connect_string_; }

 private:
  std::string connect_string_;
  std::string completed_;       // the completed connection string from the driver
  int16_t completed_length_ = 0;
  OdbcHandle dbc_ = nullptr;
  int16_t diag_record_ = 1;
  bool connected_ = false;
  std::map<uint64_t, OdbcHandle> statements_;  // guarded by statements_mu_
  mutable std::mutex statements_mu_;
  bool autocommit_ = true;
};

class ConnectionManager {
 public:
  // The process's manager, created on first use: allocates the environment,
  // builds both connection strings from "Software\Nauvik\Ostrel" and reads
  // the default provider ("DatabaseProvider"). Throws CODBCException "Unable to
  // allocate ODBC Environment handle" / "Unable to set ODBC Version 3.0"; the
  // next call tries again.
  static ConnectionManager& Instance();

  ~ConnectionManager();
  ConnectionManager(const ConnectionManager&) = delete;
  ConnectionManager& operator=(const ConnectionManager&) = delete;

  int32_t GetDefaultProvider();
  // Empty for an unknown provider.
  std::string GetConnectString(int32_t provider);
  // 1, 2, 3, ... never reused in the process.
  uint64_t NextPublicStatementId();

  // Closes every connection of one thread (its statements first). A thread
  // without connections is a no-op.
  void ReleaseThreadDatabases(uint32_t thread_id);
  void ReleaseAllDatabases();

  // Connections currently open for a thread (tests and diagnostics).
  size_t ConnectionCount(uint32_t thread_id);

  OdbcHandle Environment() const { return environment_; }

  // The calling thread's id as the connection table keys it.
  static uint32_t CurrentThreadId();

 private:
  friend class CODBCDatabase;
  ConnectionManager();
  // Resolves the connection string as GetDB step 2 does; mu_ must be held.
  std::string ResolveLocked(const std::string& connect_string, int32_t provider);

  OdbcHandle environment_ = nullptr;
  int16_t diag_record_ = 1;
  std::mutex mu_;
  std::map<uint32_t, std::map<std::string, CODBCDatabase*>> by_thread_;  // guarded by mu_
  std::map<int32_t, std::string> connect_strings_;                   // guarded by mu_
  std::string key_path_;
  int32_t default_provider_ = kProviderOracle;  // guarded by mu_
  uint64_t next_statement_id_ = 1;              // guarded by mu_
};

// Closes the calling thread's connections (the host's CloseDatabase). Does
// nothing when the thread never connected, or when no manager exists yet.
void CloseThreadDatabases();

// Act on the calling thread's connection for `connect_string` (empty: the
// default provider's), opening it when needed. Commit and Rollback do nothing
// when there is no connected connection; their SQLEndTran result is not
// checked. Throw DBException as GetDB does.
void SetAutoCommit(bool on, const std::string& connect_string = std::string());
void Commit(const std::string& connect_string = std::string());
void Rollback(const std::string& connect_string = std::string());

// A transaction on the calling thread's connection: autocommit off on
// construction; Commit() commits; the destructor rolls back unless committed
// and always turns autocommit on again. The destructor never throws and logs
// nothing: after a lost connection its calls fail quietly, and the boundary
// that caught the error closes the connection.
//
//   ManualCommit txn;
//   ...inserts...
//   txn.Commit();
class ManualCommit {
 public:
  explicit ManualCommit(std::string connect_string = std::string());
  ~ManualCommit();
  ManualCommit(const ManualCommit&) = delete;
  ManualCommit& operator=(const ManualCommit&) = delete;

  void Commit();
  // Rolls back now (the destructor then does nothing more than autocommit).
  void Rollback();

 private:
  std::string connect_string_;
  bool done_ = false;
};

}  // namespace Nauvik

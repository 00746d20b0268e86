#include "db/ConnectionManager.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <vector>

#include "db/Registry.h"
#include "foundation/ThreadId.h"
#include "log/Log.h"

namespace Nauvik {

namespace {

// Creation and destruction of the process's manager. The manager's own
// fields are guarded by its mu_.
std::mutex g_instance_mu;
std::unique_ptr<ConnectionManager> g_instance;  // guarded by g_instance_mu

// Destroys the manager when the library is unloaded (or the process ends):
// every thread's connections are closed and the environment is freed.
struct InstanceReaper {
  ~InstanceReaper() {
    std::lock_guard<std::mutex> lock(g_instance_mu);
    g_instance.reset();
  }
} g_reaper;

// The driver manager loads and unloads the driver with libltdl, whose search
// path is process-wide and unguarded: connects and disconnects take turns.
// Statements run in parallel; only these two calls are serialised.
std::mutex g_driver_load_mu;

ConnectionManager* ExistingInstance() {
  std::lock_guard<std::mutex> lock(g_instance_mu);
  return g_instance.get();
}

std::string PointerText(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%p", p);
  return buf;
}

// Record 1 of a handle as "SQL State: ...; Native Error: ...; Error Text: ..."
// with a message buffer of `buffer_size` bytes; false when it cannot be read.
bool DiagRecord(SQLSMALLINT type, SQLHANDLE handle, size_t buffer_size, std::string* state,
                SQLINTEGER* native, std::string* message, SQLRETURN* rc_out) {
  SQLCHAR sql_state[6] = {};
  std::vector<SQLCHAR> text(buffer_size, 0);
  SQLSMALLINT length = 0;
  *native = 0;
  SQLRETURN rc = SQLGetDiagRec(type, handle, 1, sql_state, native, text.data(),
                               static_cast<SQLSMALLINT>(buffer_size), &length);
  if (rc_out != nullptr) *rc_out = rc;
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return false;
  state->assign(reinterpret_cast<char*>(sql_state));
  message->assign(reinterpret_cast<char*>(text.data()));
  return true;
}

}  // namespace

// ---------------------------------------------------------------- CODBCDatabase

CODBCDatabase::CODBCDatabase(OdbcHandle environment, const std::string& connect_string)
    : connect_string_(connect_string) {
  SQLHANDLE dbc = SQL_NULL_HANDLE;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DBC, environment, &dbc);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    dbc_ = nullptr;
    std::string state, message;
    SQLINTEGER native = 0;
    std::string text;
    if (DiagRecord(SQL_HANDLE_ENV, environment, 1024, &state, &native, &message, nullptr)) {
      char buf[1200];
      std::snprintf(buf, sizeof buf, "SQL State: %s; Native Error: %d; MessageText: %s.",
                    state.c_str(), static_cast<int>(native), message.c_str());
      text = buf;
    }
    throw DBException("CODBCDatabase::CODBCDatabase: SQLAllocHandle failed: " + text);
  }
  dbc_ = dbc;
}

CODBCDatabase::~CODBCDatabase() {
  Log(kLogDebug4, true, "CODBCOracleDB::~CODBCDatabase");
  if (connected_) Disconnect();
  if (dbc_ != nullptr) {
    std::unique_lock<std::mutex> load_lock(g_driver_load_mu);
    SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    load_lock.unlock();
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) Log(kLogError, true, "SQLFreeHandle failed");
    dbc_ = nullptr;
  }
}

void CODBCDatabase::Disconnect() {
  if (!connected_) return;
  Log(kLogDebug4, true, "CODBCOracleDB::Disconnect");
  SQLRETURN rc;
  {
    std::lock_guard<std::mutex> lock(g_driver_load_mu);
    rc = SQLDisconnect(dbc_);
  }
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    std::string state, message;
    SQLINTEGER native = 0;
    if (DiagRecord(SQL_HANDLE_DBC, dbc_, 2048, &state, &native, &message, nullptr)) {
      Log(kLogError, true,
          "Error in SQLDisconnect: " + state + "; Native Error: " + std::to_string(native) +
              "; Error Text: " + message);
    }
  }
  connected_ = false;
}

void CODBCDatabase::Connect(const std::string& connect_string) {
  if (connected_) return;
  std::string cs = connect_string.empty() ? connect_string_ : connect_string;
  if (cs.empty()) return;
  if (LogLevelAtLeast(kLogDebug2)) {
    Log(kLogDebug2, false, "CODBCDatabase::Connect: ConnectString: '" + cs + "'");
  }
  completed_.assign(2 * cs.size(), '\0');
  SQLSMALLINT returned = 0;
  std::unique_lock<std::mutex> load_lock(g_driver_load_mu);
  SQLRETURN rc = SQLDriverConnect(
      dbc_, nullptr, reinterpret_cast<SQLCHAR*>(cs.data()), static_cast<SQLSMALLINT>(cs.size()),
      reinterpret_cast<SQLCHAR*>(completed_.data()), static_cast<SQLSMALLINT>(completed_.size()),
      &returned, SQL_DRIVER_NOPROMPT);
  load_lock.unlock();
  completed_length_ = returned;
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    std::string state, message, text;
    SQLINTEGER native = 0;
    if (DiagRecord(SQL_HANDLE_DBC, dbc_, 2048, &state, &native, &message, nullptr)) {
      text = "SQL State: " + state + "; Native Error: " + std::to_string(native) +
             "; Error Text: " + message;
    } else {
      Log(kLogError, true, "CODBCDatabase::Connect: Even SQLGetDiagRec failed!!!!");
      text = "Error in CODBCOracleDB::Connect. Even SQLGetDiagRec failed";
    }
    Log(kLogError, true, "CODBCDatabase::Connect: Exception: " + text);
    throw DBException(text);
  }
  connected_ = true;
}

bool CODBCDatabase::TrySetAutoCommit(bool on) {
  SQLRETURN rc = SQLSetConnectAttr(
      dbc_, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)),
      4);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return false;
  autocommit_ = on;
  return true;
}

void CODBCDatabase::p_SetAutoCommit(bool on) {
  if (!TrySetAutoCommit(on)) {
    Log(kLogError, true,
        "CODBCDatabase::p_SetAutoCommit: SQLSetConnectAttr Failed. Autocommit not altered.");
  }
}

CODBCDatabase* CODBCDatabase::GetDB(const std::string& connect_string, int32_t provider) {
  ConnectionManager& manager = ConnectionManager::Instance();
  uint32_t thread_id = ConnectionManager::CurrentThreadId();
  std::string resolved;
  {
    std::lock_guard<std::mutex> lock(manager.mu_);
    resolved = manager.ResolveLocked(connect_string, provider);
    if (!resolved.empty()) {
      auto thread = manager.by_thread_.find(thread_id);
      if (thread != manager.by_thread_.end()) {
        auto it = thread->second.find(resolved);
        if (it != thread->second.end() && it->second != nullptr) return it->second;
      }
    }
  }
  if (resolved.empty()) {
    Log(kLogError, true, "CODBCDatabase::GetDB: Internal Error: Empty Connect String!");
    return nullptr;
  }
  // Connecting takes a network round trip or a timeout: outside the lock.
  auto db = std::make_unique<CODBCDatabase>(manager.Environment(), resolved);
  try {
    db->Connect(resolved);
  } catch (const DBException& e) {
    Log(kLogError, true, std::string("CODBCDatabase::GetDB: Connect failed: ") + e.what());
    std::string text = e.what();
    db.reset();
    std::lock_guard<std::mutex> lock(manager.mu_);
    manager.by_thread_[thread_id][resolved] = nullptr;
    throw DBException(text);
  }
  std::lock_guard<std::mutex> lock(manager.mu_);
  CODBCDatabase*& slot = manager.by_thread_[thread_id][resolved];
  delete slot;  // null unless the same thread raced itself, which it cannot
  slot = db.release();
  return slot;
}

CODBCDatabase* CODBCDatabase::FindDB(const std::string& connect_string, int32_t provider) {
  ConnectionManager* manager = ExistingInstance();
  if (manager == nullptr) return nullptr;
  uint32_t thread_id = ConnectionManager::CurrentThreadId();
  std::lock_guard<std::mutex> lock(manager->mu_);
  auto thread = manager->by_thread_.find(thread_id);
  if (thread == manager->by_thread_.end() || thread->second.empty()) return nullptr;
  std::string resolved = manager->ResolveLocked(connect_string, provider);
  if (resolved.empty()) return nullptr;
  auto it = thread->second.find(resolved);
  return it == thread->second.end() ? nullptr : it->second;
}

OdbcHandle CODBCDatabase::GetStmtHandle(uint64_t public_id) {
  std::lock_guard<std::mutex> lock(statements_mu_);
  auto it = statements_.find(public_id);
  if (it != statements_.end()) return it->second;
  if (dbc_ == nullptr) return nullptr;
  SQLHANDLE stmt = SQL_NULL_HANDLE;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return nullptr;
  statements_[public_id] = stmt;
  return stmt;
}

void CODBCDatabase::FreeStmtHandle(uint64_t public_id) {
  std::lock_guard<std::mutex> lock(statements_mu_);
  if (dbc_ == nullptr) return;
  try {
    bool debug = LogLevelAtLeast(kLogDebug4);
    if (debug) {
      Log(kLogDebug4, false,
          "FreeStmtHandle: Public2PrivateStatementHandleMap.size: " +
              std::to_string(statements_.size()));
    }
    auto free_one = [debug](SQLHANDLE h) {
      std::string p = PointerText(h);
      if (debug) Log(kLogDebug4, false, "FreeStmtHandle: SQLFreeStmt: " + p + " (SQL_CLOSE)");
      SQLFreeStmt(h, SQL_CLOSE);
      if (debug) Log(kLogDebug4, false, "FreeStmtHandle: SQLFreeStmt: " + p + " (SQL_UNBIND)");
      SQLFreeStmt(h, SQL_UNBIND);
      if (debug) Log(kLogDebug4, false, "FreeStmtHandle: SQLFreeHandle: " + p);
      SQLFreeHandle(SQL_HANDLE_STMT, h);
    };
    if (public_id == 0) {
      for (auto& [id, h] : statements_) free_one(h);
    } else {
      auto it = statements_.find(public_id);
      if (it != statements_.end()) free_one(it->second);
    }
    if (debug) Log(kLogDebug4, false, "FreeStmtHandle: SQLFrees done: ");
    if (public_id == 0) {
      statements_.clear();
    } else {
      statements_.erase(public_id);
    }
  } catch (const std::exception& e) {
    Log(kLogError, true, std::string("FreeStmtHandle: Exception: ") + e.what());
  } catch (...) {
    Log(kLogError, true, "FreeStmtHandle: Some Unknown Exception.");
  }
}

size_t CODBCDatabase::StatementCount() const {
  std::lock_guard<std::mutex> lock(statements_mu_);
  return statements_.size();
}

std::string CODBCDatabase::GetDiagText(int16_t handle_type, OdbcHandle handle) {
  std::string state, message;
  SQLINTEGER native = 0;
  SQLRETURN rc = SQL_ERROR;
  if (!DiagRecord(handle_type, handle, 4096, &state, &native, &message, &rc)) {
    return "SQL Failed! Even Get Diagnostics (SQLGetDiagRec) failed!  " + std::to_string(rc);
  }
  return "SQL State: " + state + "; Native Error: " + std::to_string(native) +
         "; Error Text: " + message;
}

// ------------------------------------------------------------ ConnectionManager

ConnectionManager::ConnectionManager() {
  SQLHANDLE env = SQL_NULL_HANDLE;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    throw CODBCException("Unable to allocate ODBC Environment handle");
  }
  rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                     SQL_IS_INTEGER);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) {
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    throw CODBCException("Unable to set ODBC Version 3.0");
  }
  environment_ = env;
  key_path_ = kDatabaseKeyPath;
  connect_strings_[kProviderOracle] = BuildOracleConnectString(key_path_);
  connect_strings_[kProviderPostgres] = BuildPostgresConnectString(key_path_);
  next_statement_id_ = 1;
  default_provider_ = ReadDefaultProvider(key_path_);
}

ConnectionManager::~ConnectionManager() {
  ReleaseAllDatabases();
  if (environment_ != nullptr) SQLFreeHandle(SQL_HANDLE_ENV, environment_);
  environment_ = nullptr;
}

ConnectionManager& ConnectionManager::Instance() {
  std::lock_guard<std::mutex> lock(g_instance_mu);
  if (!g_instance) g_instance.reset(new ConnectionManager());
  return *g_instance;
}

uint32_t ConnectionManager::CurrentThreadId() { return KAVRO::CurrentThreadId(); }

std::string ConnectionManager::ResolveLocked(const std::string& connect_string,
                                             int32_t provider) {
  if (!connect_string.empty()) return connect_string;
  int32_t p = provider != kProviderDefault ? provider : default_provider_;
  if (p == kProviderDefault) throw DBException("Database Provider not properly set");
  auto it = connect_strings_.find(p);
  return it == connect_strings_.end() ? std::string() : it->second;
}

int32_t ConnectionManager::GetDefaultProvider() {
  std::lock_guard<std::mutex> lock(mu_);
  return default_provider_;
}

std::string ConnectionManager::GetConnectString(int32_t provider) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = connect_strings_.find(provider);
  return it == connect_strings_.end() ? std::string() : it->second;
}

uint64_t ConnectionManager::NextPublicStatementId() {
  std::lock_guard<std::mutex> lock(mu_);
  return next_statement_id_++;
}

void ConnectionManager::ReleaseThreadDatabases(uint32_t thread_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto thread = by_thread_.find(thread_id);
  if (thread == by_thread_.end()) return;
  for (auto& [cs, db] : thread->second) {
    if (db == nullptr) continue;
    db->FreeStmtHandle(0);
    delete db;
    db = nullptr;
  }
  by_thread_.erase(thread);
}

void ConnectionManager::ReleaseAllDatabases() {
  std::vector<uint32_t> ids;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& entry : by_thread_) ids.push_back(entry.first);
  }
  for (uint32_t id : ids) ReleaseThreadDatabases(id);
}

size_t ConnectionManager::ConnectionCount(uint32_t thread_id) {
  std::lock_guard<std::mutex> lock(mu_);
  auto thread = by_thread_.find(thread_id);
  if (thread == by_thread_.end()) return 0;
  size_t n = 0;
  for (const auto& entry : thread->second) n += entry.second != nullptr ? 1 : 0;
  return n;
}

// ------------------------------------------------------------- free functions

void CloseThreadDatabases() {
  ConnectionManager* manager = ExistingInstance();
  if (manager != nullptr) manager->ReleaseThreadDatabases(ConnectionManager::CurrentThreadId());
}

void SetAutoCommit(bool on, const std::string& connect_string) {
  CODBCDatabase* db = CODBCDatabase::GetDB(connect_string, kProviderDefault);
  if (db != nullptr) db->p_SetAutoCommit(on);
}

namespace {

void EndTransaction(const std::string& connect_string, SQLSMALLINT kind) {
  CODBCDatabase* db = CODBCDatabase::GetDB(connect_string, kProviderDefault);
  if (db != nullptr && db->IsConnected()) SQLEndTran(SQL_HANDLE_DBC, db->Handle(), kind);
}

}  // namespace

void Commit(const std::string& connect_string) { EndTransaction(connect_string, SQL_COMMIT); }

void Rollback(const std::string& connect_string) { EndTransaction(connect_string, SQL_ROLLBACK); }

ManualCommit::ManualCommit(std::string connect_string)
    : connect_string_(std::move(connect_string)) {
  SetAutoCommit(false, connect_string_);
}

void ManualCommit::Commit() {
  Nauvik::Commit(connect_string_);
  done_ = true;
}

void ManualCommit::Rollback() {
  Nauvik::Rollback(connect_string_);
  done_ = true;
}

ManualCommit::~ManualCommit() {
  // A connection closed after an error took its transaction with it; do not
  // open a new one just to roll back nothing.
  try {
    CODBCDatabase* db = CODBCDatabase::FindDB(connect_string_, kProviderDefault);
    if (db == nullptr || !db->IsConnected()) return;
    if (!done_) SQLEndTran(SQL_HANDLE_DBC, db->Handle(), SQL_ROLLBACK);
    db->TrySetAutoCommit(true);
  } catch (...) {
    // FindDB raises only for an unresolvable provider: nothing is open then.
  }
}

}  // namespace Nauvik

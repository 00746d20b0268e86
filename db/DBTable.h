#pragma once

// The table access layer: one object per table, view or join, with a fixed
// bind buffer per column. It writes the SQL text for SELECT, COUNT, DELETE,
// INSERT and UPDATE, runs it on the calling thread's connection and fetches
// rows into the buffers.
//
// Three levels: DBTableBase (SQL generation, execution, the column list), one
// row class per table (db/Rows.h: columns and buffers), and DBTable<Row>, the
// object callers create. A table object is short-lived and used by one thread
// at a time; its ODBC statement lives on the calling thread's connection and
// is freed when the object is destroyed, after an SQL error, or when the
// thread's connections are closed. Buffers point into the object itself, so
// table objects are neither copied nor moved.
//
// Values: SetValue stores a quoted, escaped literal (cut to the column's
// buffer size, logging "Truncating string field before input to database"),
// SetLiteral stores SQL text unchanged (a sequence expression, NULL), the
// Set...Parameter functions bind the caller's memory as "?" parameters: that
// memory must stay unchanged until the statement has run. Setting a column
// again replaces its earlier value; values stay set until ClearValues().
//
// Every failure raises DBException; "Failed to allocate Database for this
// thread. DB Down?" when the configuration names no database.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "db/ConnectionManager.h"
#include "db/DBException.h"
#include "db/Dialect.h"

namespace KAVRO {
class NTime;
}

namespace Nauvik {

// ODBC value types used by the columns.
inline constexpr int16_t kSqlCChar = 1;
inline constexpr int16_t kSqlCLong = 4;
inline constexpr int16_t kSqlCShort = 5;
inline constexpr int16_t kSqlCWChar = -8;
inline constexpr int16_t kSqlCBinary = -2;
inline constexpr int32_t kDateBufferSize = 128;

struct ColumnDescriptor {
  int16_t value_type = 0;
  int64_t indicator = -1;  // SQLLEN; -1 (SQL_NULL_DATA) after ClearBuffers
  int32_t buffer_size = 0;
  void* buffer = nullptr;
  std::string select_expression;
  std::string name;
  int32_t is_date = 0;
  // Bytes handed to SQLBindCol: the buffer plus room for the terminator, so
  // that a value of the full limit reads back whole.
  int32_t bind_size = 0;
  // 8-bit text: fetched as UTF-16 and narrowed to ISO-8859-1, because the
  // driver hands 8-bit columns out in the client's multibyte encoding.
  bool latin1 = false;
};

// Case-insensitive ordering of column names.
struct ColumnNameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// A value sent as a "?" parameter.
struct BoundValue {
  const void* data = nullptr;
  int64_t length = 0;
  int16_t value_type = 0;
  int16_t sql_type = 0;
};

class DBTableBase {
 public:
  DBTableBase();
  virtual ~DBTableBase();
  DBTableBase(const DBTableBase&) = delete;
  DBTableBase& operator=(const DBTableBase&) = delete;

  virtual const std::string& GetTableName() const { return table_name_; }
  // With `with_sequence`, the sequence follows the name (see Dialect::
  // SequenceExpression): NS_IMAPFOLDER draws from NS_IMAPFOLDER_SEQ.
  virtual void SetTableName(const std::string& name, bool with_sequence);
  virtual const std::string& GetSequence() const { return sequence_; }
  virtual void SetSequence(const std::string& sequence) { sequence_ = sequence; }
  virtual bool CloseCursor();
  virtual void RemoveColumn(const std::string& name);
  virtual void SetConnectString(const std::string& connect_string);
  // Rebuilds the connection string from another configuration key with the
  // builder of the table's provider.
  virtual void SetRegEntry(const std::string& key_path);
  // Zeroes the first min(size, 8) bytes of every buffer; indicators to -1.
  virtual void ClearBuffers();
  // Adds the row class's columns and sets its table name.
  virtual void DefineColumns() = 0;

  // ---- values -----------------------------------------------------------
  void SetValue(const std::string& column, const std::u16string& value, bool raw = false);
  void SetValue(const std::string& column, const char16_t* value, bool raw = false);
  void SetValue(const std::string& column, const std::string& value, bool raw = false);
  void SetValue(const std::string& column, const char* value, bool raw = false);
  // The dialect's date literal of the time (to the second).
  void SetDateValue(const std::string& column, const KAVRO::NTime& time);
  void SetLiteral(const std::string& column, const std::string& sql);
  void SetBinaryParameter(const std::string& column, const void* data, int64_t length);
  void SetWideTextParameter(const std::string& column, const std::u16string& value);
  void SetTextParameter(const std::string& column, const std::string& value);
  void ClearValues();

  // ---- statements -------------------------------------------------------
  // INSERT of every set value; the wide form when a wide literal is set.
  // True on success; false when the driver answers "success with info".
  bool Insert();
  // Affected rows (0 when none matched). An empty WHERE deletes everything.
  int64_t Delete(const std::string& where);
  int64_t DeleteW(const std::u16string& where);
  int64_t Count(const std::string& where);
  int64_t CountW(const std::u16string& where);
  // SELECT of every column; then Fetch() row by row. False when a column
  // cannot be bound (nothing executed).
  bool Select(const std::string& where, const std::string& order_by);
  bool SelectW(const std::u16string& where, const std::u16string& order_by);
  bool SelectWhereEquals(const std::pair<std::string, std::string>& column_value,
                         const std::string& order_by);
  // Fetches every row into the buffers and hands the table to `visitor`
  // until it returns false. Returns the number of rows visited.
  int64_t SelectAll(const std::string& where, const std::string& order_by,
                    const std::function<bool(DBTableBase&)>& visitor);
  int64_t SelectAllW(const std::u16string& where, const std::u16string& order_by,
                     const std::function<bool(DBTableBase&)>& visitor);
  int64_t SelectEach(const std::vector<std::string>& wheres,
                     const std::function<bool(DBTableBase&)>& visitor);
  // ClearBuffers, then the next row; false at the end.
  bool Fetch();
  void QuoteColumnNames();
  // Affected rows.
  int64_t Update(const std::string& where);
  int64_t UpdateW(const std::u16string& where);
  // The next value of the table's sequence; 0 when the table has none or
  // the provider is unknown.
  uint64_t GetNextSequenceValue();
  // The table's sequence as a value inside an INSERT (the dialect's form).
  std::string SequenceNextValueSql() const;
  // Runs one statement as it is (DDL such as a folder's UID sequence).
  // Returns true or raises.
  bool ExecuteDirect(const std::string& sql);
  bool ExecuteDirectW(const std::u16string& sql);

  // ---- introspection ----------------------------------------------------
  const Dialect& GetDialect() const;
  int32_t GetProvider() const { return provider_; }
  const std::string& GetConnectString() const { return connect_string_; }
  const std::vector<ColumnDescriptor>& Columns() const { return columns_; }
  uint64_t PublicStatementId() const { return public_id_; }
  // The texts the next statement would send; tests compare them with the
  // other provider's rendering without a server.
  std::string SelectText(const std::string& where, const std::string& order_by) const;
  std::string CountText(const std::string& where) const;
  std::string DeleteText(const std::string& where) const;
  std::string InsertText() const;
  std::string UpdateText(const std::string& where) const;
  std::u16string InsertTextW() const;
  std::u16string UpdateTextW(const std::u16string& where) const;
  std::string NextValueText() const;

  // Chooses the provider without a connection (0: the default provider).
  // The constructor of DBTable calls it; tests use it to render Oracle SQL.
  void SetProvider(int32_t provider);

 protected:
  void AddColumn(int16_t value_type, int32_t buffer_size, void* buffer, const std::string& name,
                 int32_t is_date);
  void AddColumn(int16_t value_type, int32_t buffer_size, void* buffer, const std::string& alias,
                 const std::string& name);

  // Typed helpers for row classes; N includes the terminator's place.
  template <size_t N>
  void Text(char (&buffer)[N], const std::string& name, const std::string& alias = "") {
    AddColumn(kSqlCChar, static_cast<int32_t>(N - 1), buffer, alias, name);
    columns_.back().bind_size = static_cast<int32_t>(N);
    columns_.back().latin1 = true;
  }
  template <size_t N>
  void Id(char (&buffer)[N], const std::string& name, const std::string& alias = "") {
    AddColumn(kSqlCChar, static_cast<int32_t>(N), buffer, alias, name);
  }
  template <size_t N>
  void WText(char16_t (&buffer)[N], const std::string& name, const std::string& alias = "") {
    AddColumn(kSqlCWChar, static_cast<int32_t>(2 * (N - 1)), buffer, alias, name);
    columns_.back().bind_size = static_cast<int32_t>(2 * N);
  }
  void Date(char (&buffer)[kDateBufferSize], const std::string& name) {
    AddColumn(kSqlCChar, kDateBufferSize, buffer, name, 1);
  }
  void Short(void* buffer, int32_t size, const std::string& name, const std::string& alias = "") {
    AddColumn(kSqlCShort, size, buffer, alias, name);
  }
  void Long(void* buffer, int32_t size, const std::string& name, const std::string& alias = "") {
    AddColumn(kSqlCLong, size, buffer, alias, name);
  }

  // Called by DBTable<Row>'s constructor after DefineColumns.
  void InitTable();
  // Empties the column list (a row class that redefines its columns).
  void ResetColumns();

 private:
  CODBCDatabase* EnsureConnection();
  OdbcHandle Statement(CODBCDatabase* db);
  void Prepare();  // ensure connection, CloseCursor, ClearBuffers
  bool DbExecute(const std::string& sql, int64_t* rows);
  bool DbExecuteW(const std::u16string& sql, int64_t* rows);
  // The result check: passes SQL_SUCCESS / SQL_SUCCESS_WITH_INFO, else frees
  // the statement and raises with the diagnostics and ". Query: " + query.
  void Check(int16_t rc, const std::string& query);
  bool BindColumns();
  bool RunPrepared(const std::u16string& text, const std::string& what, int64_t* rows);
  // Runs a COUNT statement, the byte-string form or (with `wide`) the
  // UTF-16 one, and reads its value; `text` is the statement for errors.
  int64_t CountRun(const std::string& text, const std::u16string* wide);
  int64_t DeleteRun(const std::u16string& text);
  bool HasWideLiterals() const { return !wide_literals_.empty(); }
  void SetNarrowLiteral(const std::string& column, const std::string& value, bool raw);
  int32_t BufferSizeOf(const std::string& column) const;

  std::vector<ColumnDescriptor> columns_;
  std::vector<std::u16string> latin1_shadow_;  // per column; UTF-16 fetch of 8-bit text
  std::map<std::string, size_t, ColumnNameLess> column_index_;
  std::string table_name_;
  std::string statement_;
  std::u16string statement_w_;
  std::string group_by_;
  std::u16string group_by_w_;
  uint64_t public_id_ = 0;
  std::string connect_string_;
  std::string sequence_;
  int32_t provider_ = 0;

  std::map<std::string, BoundValue> bound_;
  std::map<std::string, std::string> literals_;
  std::map<std::string, std::u16string> wide_literals_;
};

// The object callers create: a row class with the table operations.
//
//   DBTable<NV_IMAPFOLDER> folders;
//   if (!use_views) folders.SetTableName("NS_IMAPFOLDER", true);
//   folders.Select("IMF_IMAPFOLDERID = 42", "");
//   while (folders.Fetch()) { ... folders.IMF_FOLDERNAME ... }
template <class Row>
class DBTable : public Row {
 public:
  DBTable() {
    this->DefineColumns();
    this->InitTable();
  }
};

// A table without columns: COUNT, DELETE and sequence values on a table named
// by the caller, and statements run as they are.
class NoColumnTable : public DBTableBase {
 public:
  void DefineColumns() override {}
};

class DbSimpleAccess : public DBTable<NoColumnTable> {
 public:
  DbSimpleAccess() = default;
  // Names the table and its sequence.
  explicit DbSimpleAccess(const std::string& table_name) { SetTableName(table_name, true); }
};

}  // namespace Nauvik

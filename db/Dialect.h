#pragma once

// Everything in the generated SQL that differs between the two providers.
// The mail store, the row classes and the blob and user layers never test the
// provider themselves: they ask the dialect of their table (DBTableBase::
// GetDialect()) or the process's default one (DefaultDialect()).
//
// Provider 1 is Oracle and renders the statements exactly as the mail system
// has always written them; provider 2 is PostgreSQL.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace KAVRO {
class NTime;
}

namespace Nauvik {

inline constexpr int32_t kProviderDefault = 0;  // "use the default provider"
inline constexpr int32_t kProviderOracle = 1;
inline constexpr int32_t kProviderPostgres = 2;

// Stateless; one shared instance per provider, safe from any thread.
class Dialect {
 public:
  virtual ~Dialect() = default;

  virtual int32_t Provider() const = 0;

  // The sequence expression a table object keeps for `table_name` (its
  // "table name + _SEQ" counter). Oracle: "NV_IMAPFOLDER_SEQ.NEXTVAL".
  // PostgreSQL has no sequence synonyms, so a view name is mapped to its base
  // table's sequence: "NS_IMAPFOLDER_SEQ" for both NV_ and NS_ names.
  virtual std::string SequenceExpression(const std::string& table_name) const = 0;

  // The statement that reads one next value of a sequence expression.
  // Oracle: "SELECT X.NEXTVAL FROM DUAL"; PostgreSQL: "SELECT nextval('X')".
  virtual std::string NextValueStatement(const std::string& sequence_expression) const = 0;

  // The sequence expression as a value inside an INSERT or UPDATE.
  // Oracle: the expression unchanged; PostgreSQL: "nextval('X')".
  virtual std::string NextValueInStatement(const std::string& sequence_expression) const = 0;

  // A row source of `count` next values of a sequence expression, in the
  // column NEXT_VALUE, for a SELECT's FROM.
  virtual std::string NextValuesSource(const std::string& sequence_expression,
                                       size_t count) const = 0;
  // What a SELECT without a table needs after its list: "" or " FROM DUAL".
  virtual std::string FromNoTable() const = 0;

  // Name of a folder's own UID sequence: "IMAPFOLDER_" + decimal id (both).
  static std::string FolderUidSequenceName(int64_t folder_id);
  // The UID value inside the message-in-folder INSERT.
  // Oracle "IMAPFOLDER_42.NEXTVAL"; PostgreSQL "nextval('IMAPFOLDER_42')".
  virtual std::string FolderUidNextValue(int64_t folder_id) const = 0;
  // Oracle: "CREATE SEQUENCE IMAPFOLDER_42 MINVALUE 1 MAXVALUE 4294967295 START
  // WITH 1  INCREMENT BY 1  NOCACHE" (two blanks before INCREMENT and NOCACHE).
  // PostgreSQL: same name, bounds, start and step, with NO CYCLE.
  virtual std::string CreateFolderUidSequence(int64_t folder_id) const = 0;
  // "DROP SEQUENCE IMAPFOLDER_42" (both).
  virtual std::string DropFolderUidSequence(int64_t folder_id) const;

  // A date literal for the time's calendar fields, to the second.
  // Oracle "to_date('2026/03/04 05:06:07','yyyy/mm/dd hh24:mi:ss')";
  // PostgreSQL "to_timestamp('2026/03/04 05:06:07','yyyy/mm/dd hh24:mi:ss')"
  // (PostgreSQL's to_date drops the time of day).
  virtual std::string DateLiteral(const KAVRO::NTime& time) const = 0;
  // The select expression of a date column (both):
  // "to_char(COL, 'yyyy/mm/dd hh24:mi:ss')".
  static std::string DateSelect(const std::string& column);

  // The database server's current UTC time to the second, as an expression.
  virtual std::string CurrentUtcTime() const = 0;

  // "NVL" / "COALESCE": the two-argument null replacement inside conditions.
  virtual std::string NvlFunction() const = 0;
  // NvlFunction() + "(" + a + "," + b + ")".
  std::string Nvl(const std::string& a, const std::string& b) const;

  // Makes `text`, placed between the quotes of a LIKE pattern, match as it
  // does on Oracle, where LIKE has no escape character. PostgreSQL's LIKE
  // treats "\" as its escape, so every "\" is doubled there. Quotes are not
  // touched: doubling them is the caller's business, as before.
  virtual std::string LikeText(std::string_view text) const = 0;
  virtual std::u16string LikeText(std::u16string_view text) const = 0;

  // The literal of an empty text value. Oracle stores '' as NULL, and the
  // store relies on it: a mail with an empty Message-ID must not match
  // another one through "IMM_MESSAGEID LIKE ''". PostgreSQL keeps '' as a
  // value, so its dialect writes NULL instead. Oracle: "''".
  virtual std::string EmptyTextLiteral() const = 0;
};

// The dialect of a provider (1 or 2). Throws DBException "Unknown database
// provider: N" for anything else.
const Dialect& DialectFor(int32_t provider);

// The dialect of the process's default provider (from the configuration, see
// ConnectionManager). May open the ODBC environment on first use; throws
// DBException / CODBCException as ConnectionManager::Instance() does.
const Dialect& DefaultDialect();

}  // namespace Nauvik

#pragma once

// The row classes of the store's tables, views and joins, made from the
// column lists in db/Rows.def. Each class names its table and holds one bind
// buffer per column, in the column order of the table (which is the order of
// the SELECT list). Callers create DBTable<Row> objects (db/DBTable.h) and
// read the buffers after Fetch():
//
//   column type  member                     how to read it
//   id           char[64] decimal text      IdOf(row.USR_USERID)       (empty: 0)
//   s16          int16_t                    row.IMF_INBOX
//   s16/4        Short4 (4-byte buffer)     row.FSH_ONLINE  (converts to int16_t)
//   i32          int32_t                    row.IMF_UID
//   i32/8        Long8 (8-byte buffer)      row.FSH_CATEGORY (converts to int32_t)
//   text(n)      char[n + 1], zero-term.    TextOf(row.IMM_MESSAGEID)  (8-bit, ISO-8859-1)
//   wtext(n)     char16_t[n/2 + 1]          WTextOf(row.IMF_FOLDERNAME) (UTF-16)
//   date         char[128] "yyyy/mm/dd hh24:mi:ss"   DateOf(row.MIF_INTERNALDATE)
//
// A NULL column reads as empty text or 0: Fetch() clears the buffers before
// every row. n is the limit at which SetValue cuts string values (a
// wtext(200) column takes 100 UTF-16 characters); each text buffer has one
// more place for the terminator, so a value of the full limit reads back
// whole.
//
// To write through the base table, switch the name before the statement:
// table.SetTableName("NS_IMAPFOLDER", true) (its sequence follows the name).

#include <cstdint>
#include <string>

#include "db/DBTable.h"
#include "foundation/NTime.h"

namespace Nauvik {

inline constexpr size_t kIdSize = 64;

// A 16-bit column bound into a 4-byte buffer.
struct Short4 {
  int16_t value = 0;
  int16_t unused = 0;
  operator int16_t() const { return value; }
};

// A 32-bit column bound into an 8-byte buffer.
struct Long8 {
  int32_t value = 0;
  int32_t unused = 0;
  operator int32_t() const { return value; }
};

// Decimal text of an id buffer as a 64-bit number; text without leading
// digits (an empty, NULL column) gives 0. A leading "-" is honoured.
int64_t IdOf(const char* text);
// The decimal text of an id, as SetValue wants it.
std::string IdText(int64_t id);
// A zero-terminated 8-bit buffer as a string.
std::string TextOf(const char* text);
// A zero-terminated UTF-16 buffer as a string.
std::u16string WTextOf(const char16_t* text);
// A date buffer ("yyyy/mm/dd hh24:mi:ss") as a time; an empty or unreadable
// text gives the current local time (NTime::FromDatabaseText).
KAVRO::NTime DateOf(const char* text);
// True when a date buffer holds a value (the column was not NULL).
bool HasDate(const char* text);

// The member each column kind is read into (db/Rows.def lists the columns).
#define NAUVIK_ROW_MEMBER_ID(m, a) char m[kIdSize] = {};
#define NAUVIK_ROW_MEMBER_TEXT(m, n) char m[(n) + 1] = {};
#define NAUVIK_ROW_MEMBER_WTEXT(m, n) char16_t m[(n) + 1] = {};
#define NAUVIK_ROW_MEMBER_DATE(m, a) char m[kDateBufferSize] = {};
#define NAUVIK_ROW_MEMBER_S16(m, a) int16_t m = 0;
#define NAUVIK_ROW_MEMBER_S16IN4(m, a) Short4 m;
#define NAUVIK_ROW_MEMBER_I32(m, a) int32_t m = 0;
#define NAUVIK_ROW_MEMBER_I32IN8(m, a) Long8 m;

#define ROW(Name, table)            \
  class Name : public DBTableBase { \
   public:                          \
    void DefineColumns() override;
#define LINK_ROW(Name)                                \
  class Name : public DBTableBase {                   \
   public:                                            \
    void DefineColumns() override;                    \
    void UseViews(bool use_views);                    \
    char MRP_MAILRECIPIENTID[kIdSize] = {};           \
                                                      \
   private:                                           \
    void DefineListedColumns();                       \
    bool use_views_ = true;                           \
                                                      \
   public:
#define COLUMN(kind, member, arg) NAUVIK_ROW_MEMBER_##kind(member, arg)
#define END_ROW \
  }             \
  ;
#include "db/Rows.def"
#undef ROW
#undef LINK_ROW
#undef COLUMN
#undef END_ROW

// Further tables the store names only in SQL text: NV_USERGROUPMEMBER
// (USG_USERGROUPID, USR_USERID) and NV_FILESTORAGE.

}  // namespace Nauvik

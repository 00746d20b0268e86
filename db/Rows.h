#pragma once

// The row classes of the store's tables, views and joins. Each class names
// its table and holds one bind buffer per column, in the column order of the
// table (which is the order of the SELECT list). Callers create
// DBTable<Row> objects (db/DBTable.h) and read the buffers after Fetch():
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

// One row per IMAP folder; written as NS_IMAPFOLDER.
class NV_IMAPFOLDER : public DBTableBase {
 public:
  void DefineColumns() override;

  int16_t IMF_INBOX = 0;
  char USR_USERID[kIdSize] = {};
  int16_t IMF_MARKED = 0;
  int16_t IMF_NOSELECT = 0;
  int16_t IMF_NOINFERIORS = 0;
  int32_t IMF_UID = 0;
  char IMF_IMAPFOLDERID_PARENT[kIdSize] = {};
  char16_t IMF_FOLDERNAME[100 + 1] = {};  // 200 bytes
  char IMF_IMAPFOLDERID[kIdSize] = {};
};

// One row per stored message with its header summary; written as NS_IMAPMESSAGE.
class NV_IMAPMESSAGE : public DBTableBase {
 public:
  void DefineColumns() override;

  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char FIS_FILESTORAGEID[kIdSize] = {};
  char16_t IMM_FROM[2000 + 1] = {};  // 4000 bytes
  char16_t IMM_TO[2000 + 1] = {};  // 4000 bytes
  char16_t IMM_CC[4000 + 1] = {};  // 8000 bytes
  char16_t IMM_BCC[2000 + 1] = {};  // 4000 bytes
  char16_t IMM_SUBJECT[800 + 1] = {};  // 1600 bytes
  char IMM_SENT[kDateBufferSize] = {};
  char IMM_MESSAGEID[400 + 1] = {};
  char16_t IMM_SORTSUBJECT[200 + 1] = {};  // 400 bytes
};

// One row per message in a folder; written as NS_IMAPMSGINFOLDER.
class NV_IMAPMSGINFOLDER : public DBTableBase {
 public:
  void DefineColumns() override;

  char MIF_IMAPMSGINFOLDERID[kIdSize] = {};
  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char IMF_IMAPFOLDERID[kIdSize] = {};
  char MIF_INTERNALDATE[kDateBufferSize] = {};
  int32_t MIF_UID = 0;
  int16_t MIF_SEEN = 0;
  int16_t MIF_ANSWERED = 0;
  int16_t MIF_FLAGGED = 0;
  int16_t MIF_DELETED = 0;
  int16_t MIF_DRAFT = 0;
  int16_t MIF_RECENT = 0;
};

// One subscription per user and folder name; written as NS_IMAPSUBSCRIPTION.
class NV_IMAPSUBSCRIPTION : public DBTableBase {
 public:
  void DefineColumns() override;

  char16_t IMF_SUBSCRIPTIONNAME[100 + 1] = {};  // 200 bytes
  char USR_USERID[kIdSize] = {};
  char IMS_IMAPSUBSCRIPTIONID[kIdSize] = {};
};

// Read only: a message with the size of its blob.
class JOIN_IMAPMESSAGEANDSIZE : public DBTableBase {
 public:
  void DefineColumns() override;

  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char FIS_FILESTORAGEID[kIdSize] = {};
  int32_t FIS_SIZE = 0;
};

// Read only: a link with its message and blob.
class INFO_IMAPMESSAGE : public DBTableBase {
 public:
  void DefineColumns() override;
  // Switches between the view join (true, the default) and the base-table
  // join, which adds the column MRP_MAILRECIPIENTID.
  void UseViews(bool use_views);

  char IMM_MESSAGEID[400 + 1] = {};
  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char MIF_INTERNALDATE[kDateBufferSize] = {};
  int32_t MIF_UID = 0;
  char MIF_IMAPMSGINFOLDERID[kIdSize] = {};
  char IMF_IMAPFOLDERID[kIdSize] = {};
  int16_t MIF_SEEN = 0;
  int16_t MIF_ANSWERED = 0;
  int16_t MIF_FLAGGED = 0;
  int16_t MIF_DELETED = 0;
  int16_t MIF_DRAFT = 0;
  int16_t MIF_RECENT = 0;
  char FIS_FILESTORAGEID[kIdSize] = {};
  int32_t FIS_SIZE = 0;
  char MRP_MAILRECIPIENTID[kIdSize] = {};  // base-table join only

 private:
  bool use_views_ = true;
};

// Read only: the messages of a folder.
class IMAP_FOLDERMESSAGES : public DBTableBase {
 public:
  void DefineColumns() override;
  // Switches between the view join (true, the default) and the base-table
  // join, which adds the column MRP_MAILRECIPIENTID.
  void UseViews(bool use_views);

  int32_t MIF_UID = 0;
  char MIF_IMAPMSGINFOLDERID[kIdSize] = {};
  char IMF_IMAPFOLDERID[kIdSize] = {};
  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char MIF_INTERNALDATE[kDateBufferSize] = {};
  int16_t MIF_SEEN = 0;
  int16_t MIF_ANSWERED = 0;
  int16_t MIF_FLAGGED = 0;
  int16_t MIF_DELETED = 0;
  int16_t MIF_DRAFT = 0;
  int16_t MIF_RECENT = 0;
  char FIS_FILESTORAGEID[kIdSize] = {};
  int32_t FIS_SIZE = 0;
  char MRP_MAILRECIPIENTID[kIdSize] = {};  // base-table join only

 private:
  bool use_views_ = true;
};

// One row per user; the user lookup reads it as NS_USER.
class NV_USER : public DBTableBase {
 public:
  void DefineColumns() override;

  int16_t USR_SKIPFORWARDING = 0;
  int16_t USR_ROWSTATUS = 0;
  char VES_VESSELID[kIdSize] = {};
  int16_t USR_ADMINUSER = 0;
  char USR_REMEMBER_TOKEN_EXPIRES[kDateBufferSize] = {};
  char USR_REMEMBER_TOKEN[255 + 1] = {};
  char USR_UPDATED_AT[kDateBufferSize] = {};
  char USR_CREATED_AT[kDateBufferSize] = {};
  char USR_SALT[40 + 1] = {};
  char USR_CRYPTED_PASSWORD[40 + 1] = {};
  int16_t USR_VESSELUSER = 0;
  int16_t USR_MIMEFORMAT = 0;
  int16_t USR_LANGUAGE = 0;
  char USR_IPADRESS[15 + 1] = {};
  char USR_LOGGEDIN[kIdSize] = {};
  char USR_ADDRESS[200 + 1] = {};
  char USR_PHONENR[20 + 1] = {};
  char USR_EMAIL[200 + 1] = {};
  char16_t USR_NAME[100 + 1] = {};  // 200 bytes
  char COM_COMPANYID[kIdSize] = {};
  char USR_USERID[kIdSize] = {};
  int16_t USR_FORWARDCOPY = 0;
  char USR_FORWARDTO[200 + 1] = {};
  int16_t USR_HIDEINADDRESSBOOK = 0;
};

// One row per access grant on a folder; written as NS_IMAPFOLDERACCESS.
class NV_IMAPFOLDERACCESS : public DBTableBase {
 public:
  void DefineColumns() override;

  char IFA_IMAPFOLDERACCESSID[kIdSize] = {};
  char IMF_IMAPFOLDERID[kIdSize] = {};
  char USR_USERID[kIdSize] = {};
  char USG_USERGROUPID[kIdSize] = {};
  char COM_COMPANYID[kIdSize] = {};
  int16_t IFA_AR_LOOKUP = 0;
  int16_t IFA_AR_READ = 0;
  int16_t IFA_AR_KEEP = 0;
  int16_t IFA_AR_WRITE = 0;
  int16_t IFA_AR_INSERT = 0;
  int16_t IFA_AR_POST = 0;
  int16_t IFA_AR_CREATE = 0;
  int16_t IFA_AR_DELETE_MBOX = 0;
  int16_t IFA_AR_DELETE_MESSAGE = 0;
  int16_t IFA_AR_PERFORM_EXPUNGE = 0;
  int16_t IFA_AR_ADMINISTER = 0;
};

// One row per MIME entity of a stored mail; written as NS_IMAPBODYPART.
class NV_IMAPBODYPART : public DBTableBase {
 public:
  void DefineColumns() override;

  char IMB_IMAPBODYPARTID[kIdSize] = {};
  char IMM_IMAPMESSAGEID[kIdSize] = {};
  char IMB_PARENTID[kIdSize] = {};
  int16_t IMB_BODYNO = 0;
  int32_t IMB_HDRSTART = 0;
  int32_t IMB_BODYSTART = 0;
  int32_t IMB_BODYEND = 0;
  int16_t IMB_MIMEBASIC = 0;
  int16_t IMB_CHARSET = 0;
  int16_t IMB_ENCODING = 0;
};

// One row per storage host; read as NV_FILESTORAGEHOST. FSH_TOTALSIZE and FSH_USEDSIZE are 64-bit numbers carried as decimal text.
class NS_FILESTORAGEHOST : public DBTableBase {
 public:
  void DefineColumns() override;

  char FSH_FILESTORAGEHOSTID[kIdSize] = {};
  char FSH_DESCRIPTION[400 + 1] = {};
  char FSH_HOSTPATH[800 + 1] = {};
  Short4 FSH_ONLINE;
  Short4 FSH_WRITABLE;
  char FSH_TOTALSIZE[kIdSize] = {};
  char FSH_USEDSIZE[kIdSize] = {};
  Long8 FSH_CATEGORY;
};

// One row per blob file; read and written as NV_FILESTORAGE.
class NS_FILESTORAGE : public DBTableBase {
 public:
  void DefineColumns() override;

  char FIS_FILESTORAGEID[kIdSize] = {};
  char FSH_FILESTORAGEHOSTID[kIdSize] = {};
  char FIS_LOCATION[800 + 1] = {};
  char FIS_SIZE[kIdSize] = {};
  char FIS_COMPSIZE[kIdSize] = {};
  char FIS_CREATED[kDateBufferSize] = {};
  char FIS_CHANGED[kDateBufferSize] = {};
  char FIS_DELETED[kDateBufferSize] = {};
  Short4 FIS_CREATEDBY;
  Short4 FIS_CHANGEDBY;
  Short4 FIS_DELETEDBY;
  Short4 FIT_FILETYPEID;
};

// The programs that create blobs; read as NV_FILECREATOR.
class NS_FILECREATOR : public DBTableBase {
 public:
  void DefineColumns() override;

  Short4 FIC_FILECREATORID;
  char FIC_DESCRIPTION[400 + 1] = {};
};

// One row per vessel installation; the store reads the first row's VES_VESSELID.
class NV_VESSEL : public DBTableBase {
 public:
  void DefineColumns() override;

  Short4 VES_WEBSERVICEPORT;
  Short4 VES_ANTIVIRUSSUP;
  char TPI_AVTHIRDPARTYINID[kIdSize] = {};
  Long8 VES_LDAPPORT;
  Long8 VES_IMAPPORT;
  Long8 VES_NOTIFYLCRFAIL;
  Short4 VES_POPSUPPORT;
  Short4 VES_IMAPSUPPORT;
  Short4 VES_SMTPRELAYSUPPORT;
  Short4 VES_EGCDELETEDAYS;
  Short4 VES_AVSENDUPDATE;
  Short4 VES_ALWAYSRESUME;
  char VES_INSTALLEDVERSION[40 + 1] = {};
  char VEQ_VESSELEQUIPMENTID_GPS[kIdSize] = {};
  Short4 VES_QUOTAENABLED;
  char VES_MAXTRANSID[kIdSize] = {};
  char VES_MAXTRANSDETAILID[kIdSize] = {};
  Short4 VES_SEA_SENDLASTPARTFIRSTSMS;
  Short4 VES_SEA_UPDATEINTERVAL;
  char VES_EGCSUBJECT[800 + 1] = {};
  char VES_EGCAUTHOR[800 + 1] = {};
  Short4 VES_EGCTODIR;
  char VES_NAME[400 + 1] = {};
  Short4 VES_SCHEDULEMETHOD;
  Short4 VES_CONNECTINTERVAL;
  Short4 VES_GPSINSERTINTERVAL;
  char VES_SERIAL[200 + 1] = {};
  Long8 VES_SMTPPORT;
  Long8 VES_POP3PORT;
  char VES_SMTPPOPHOST[200 + 1] = {};
  char VES_DOMAINNAME[200 + 1] = {};
  Long8 VES_SMTPFORWARDPORT;
  char VES_SMTPFORWARDHOST[200 + 1] = {};
  char VES_NOTESINBOX[200 + 1] = {};
  char VES_NOTESOUTBOX[200 + 1] = {};
  char VES_NOTESMSNAME[200 + 1] = {};
  Short4 VES_NOTESLOWPRIORITY;
  Short4 VES_NOTESNORMALPRIORITY;
  Short4 VES_NOTESHIGHPRIORITY;
  char USR_USERID[kIdSize] = {};
  Short4 VES_GPSENABLED;
  Short4 VES_LCRDELAY;
  char VES_DBVERSION[40 + 1] = {};
  Short4 VES_OFFICEINSTALLATION;
  Short4 VES_COPYMSGTOSHIP;
  char USR_COPYMSGTOSHIP[kIdSize] = {};
  char VES_COPYTOSUBJECTPRE[800 + 1] = {};
  Short4 VES_COPYMSGFROMSHIP;
  char USR_COPYMSGFROMSHIP[kIdSize] = {};
  char VES_COPYFROMSUBJECTPRE[800 + 1] = {};
  Short4 VES_COPYPRIVATEMSG;
  char VES_VESSELID[kIdSize] = {};
  char COM_COMPANYID[kIdSize] = {};
  char NOD_NODEID[kIdSize] = {};
  char VES_SEA_INSTDIR[800 + 1] = {};
  char VES_SEA_DATADIR[800 + 1] = {};
  char MSY_MAILSYSTEMID[kIdSize] = {};
  Short4 VES_COMPRESSTYPE;
  Short4 VES_COMPRESSHEADER;
  char VES_SEA_STATUSRAPPAPP[800 + 1] = {};
  char VES_SEA_MAXLOGENTRIES[kIdSize] = {};
  char VES_SEA_SMS_SAC[kIdSize] = {};
};
// Further tables the store names only in SQL text: NV_USERGROUPMEMBER
// (USG_USERGROUPID, USR_USERID) and NV_FILESTORAGE.

}  // namespace Nauvik

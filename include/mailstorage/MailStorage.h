#pragma once

// libMailStorage.so.0: the two functions it exports and the result codes they
// return. A host loads the library with dlopen(MAILSTORAGE_LIBRARY) and
// resolves the functions with dlsym; nothing else is visible.

#include <stdbool.h>
#include <stdint.h>

#if defined(__GNUC__)
#define MAILSTORAGE_EXPORT __attribute__((visibility("default")))
#else
#define MAILSTORAGE_EXPORT
#endif

// The library's SONAME. The unversioned libMailStorage.so is only a link for
// building; hosts load this name.
#define MAILSTORAGE_LIBRARY "libMailStorage.so.0"

#ifdef __cplusplus
extern "C" {
#endif

// Results of AddMailToMailStore. 0 is success and 1000 and up are the store's
// own errors; any other value below 1000 is the blob storage's code for a
// blob file that could not be written, passed on unchanged.
enum MailStorageResult {
  MAILSTORAGE_OK = 0,
  MAILSTORAGE_UNKNOWN_ERROR = 1000,
  MAILSTORAGE_DATABASE_ERROR = 1001,  // any database failure; the mail may still be linked
  MAILSTORAGE_FILE_NOT_FOUND = 1002,
  MAILSTORAGE_EMPTY_MAIL = 1003,
  MAILSTORAGE_INVALID_MAIL_CONTENT = 1004,
  MAILSTORAGE_MAIL_NOT_FOUND = 1005,
  MAILSTORAGE_MAIL_ALREADY_EXISTS = 1006,
  MAILSTORAGE_UNABLE_TO_PARSE_MAIL = 1007,
  MAILSTORAGE_MAIL_TOO_BIG = 1008,
  MAILSTORAGE_USER_DELETED = 1009,
  MAILSTORAGE_INVALID_USER = 1010,
  MAILSTORAGE_QUOTA_EXCEEDED = 1011,
  MAILSTORAGE_INVALID_FOLDER = 1012,
  MAILSTORAGE_LOOPING_FOLDERS = 1013,
  MAILSTORAGE_FOLDER_NOT_FOUND = 1014,
  MAILSTORAGE_FOLDER_PARENT_NOT_FOUND = 1015,
  MAILSTORAGE_FOLDER_ALREADY_EXISTS = 1016,
  MAILSTORAGE_ILLEGAL_FOLDER_NAME = 1017,
  MAILSTORAGE_ALREADY_SUBSCRIBED = 1018,
  MAILSTORAGE_NOT_SUBSCRIBED = 1019,
  MAILSTORAGE_ACCESS_DENIED = 1020,
  MAILSTORAGE_FOLDER_NOT_SELECTABLE = 1021,
  MAILSTORAGE_CANNOT_CREATE_IN_OTHERS_FOLDER = 1022,
  MAILSTORAGE_INVALID_INPUT = 1023,
  MAILSTORAGE_INVALID_POINTER = 1024
};

// Stores one mail file and links it into `folder` (UTF-8, "." separates
// levels) for the user. `user_id` and `company_id` are decimal texts,
// `internal_date` an RFC 822 date text (the current UTC time when it cannot
// be read). Returns a MailStorageResult or a blob storage code (below 1000).
// Any thread may call; the thread's database connection stays open for its
// next call until CloseDatabase.
MAILSTORAGE_EXPORT int32_t AddMailToMailStore(const char* mail_file, const char* folder,
                                              const char* user_id, const char* company_id,
                                              const char* internal_date, bool seen, bool draft,
                                              bool use_views);

// Closes the database connections of the calling thread.
MAILSTORAGE_EXPORT void CloseDatabase(void);

typedef int32_t (*AddMailToMailStoreFn)(const char*, const char*, const char*, const char*,
                                        const char*, bool, bool, bool);
typedef void (*CloseDatabaseFn)(void);

#ifdef __cplusplus
}
#endif

#pragma once

// The two functions that libMailStorage.so exports. A host loads the library
// with dlopen and resolves them with dlsym; nothing else is visible.

#include <stdbool.h>
#include <stdint.h>

#if defined(__GNUC__)
#define MAILSTORAGE_EXPORT __attribute__((visibility("default")))
#else
#define MAILSTORAGE_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Stores one mail file and links it into `folder` (UTF-8, "." separates
// levels) for the user. `user_id` and `company_id` are decimal texts,
// `internal_date` an RFC 822 date text (the current UTC time when it cannot
// be read). Returns 0, or a store result code (1000 and up) or a blob storage
// code (below 1000). Any thread may call; the thread's database connection
// stays open for its next call until CloseDatabase.
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

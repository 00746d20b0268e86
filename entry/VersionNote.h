#pragma once

// The library carries its version in an ELF note (PT_NOTE, loaded with the
// library but no symbol): the library still exports only its two functions,
// and a host can read the version of the copy the loader actually mapped.

#include <cstdint>

namespace Nauvik {

inline constexpr char kVersionNoteName[12] = "MailStorage";
inline constexpr uint32_t kVersionNoteType = 1;

struct alignas(4) VersionNote {
  uint32_t name_size = sizeof kVersionNoteName;
  uint32_t text_size = 32;
  uint32_t type = kVersionNoteType;
  char name[12] = "MailStorage";
  char text[32] = {};  // the version, NUL padded
};

}  // namespace Nauvik

// Places the note of `version` (a string literal) in the object being built.
// The alignment is spelled out: a note must be 4-aligned, and the compiler
// would align an object of this size wider, leaving a gap the reader would
// take for a note.
#define MAILSTORAGE_VERSION_NOTE(version)                                                     \
  [[gnu::section(".note.mailstorage"), gnu::used,                                             \
    gnu::aligned(4)]] const ::Nauvik::VersionNote kMailStorageVersionNote {                   \
    sizeof ::Nauvik::kVersionNoteName, 32, ::Nauvik::kVersionNoteType, "MailStorage", version \
  }

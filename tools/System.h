#pragma once

// The importer's few operating-system needs, kept in one place: terminal,
// interrupt signal, executable path and loading the
// library with dlopen exactly as a migration host does.

#include <string>

#include "entry/MailStorage.h"

namespace Nauvik::Import {

bool StandardErrorIsTerminal();
int TerminalWidth();  // columns of the terminal on standard error; 80 when unknown

// SIGINT and SIGTERM set a flag instead of ending the process; a second
// SIGINT ends it at once (the default action is restored by the first).
void InstallInterruptHandler();
bool InterruptRequested();

// SIGUSR1 pauses the run (no new call starts), SIGUSR2 resumes it.
void InstallPauseHandler();
bool PauseRequested();

// Path of the running executable (/proc/self/exe); "" when unknown.
std::string ExecutablePath();

void SetEnvironment(const std::string& name, const std::string& value);

// The two functions of libMailStorage.so. The handle stays open for the
// process's lifetime: worker threads may still hold database connections of
// the library when main returns.
struct LibraryApi {
  AddMailToMailStoreFn add = nullptr;
  CloseDatabaseFn close = nullptr;
};

// dlopen + dlsym. False with `error` (dlerror's text) when the file cannot be
// loaded, lacks one of the two functions or is another version than this
// tool's. `path` may be a bare file name for the loader's search path.
bool LoadMailStorageLibrary(const std::string& path, LibraryApi* api, std::string* error);

}  // namespace Nauvik::Import

#pragma once

// The command-line parse both tools share: help and the version go to
// standard output, a mistake to standard error with the tool's name and a
// pointer to --help.

#include <CLI/CLI.hpp>
#include <cstdio>

namespace Nauvik::Import {

// -1 when the run goes on; otherwise the exit status: 0 after help or the
// version, `usage_status` after a mistake.
inline int ParseCommandLine(CLI::App& app, int argc, char** argv, int usage_status) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    fprintf(stderr, "%s: %s\nRun with --help for the options.\n", app.get_name().c_str(),
            e.what());
    return usage_status;
  }
  return -1;
}

}  // namespace Nauvik::Import

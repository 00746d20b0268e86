#pragma once

// A store of one test binary's own: a database in the test run's private
// PostgreSQL cluster with the shipped schema and demo seed, a blob directory
// as storage host 1 and a registry file that names it, all removed at the
// end. Tests that look at the whole store, or compare it before and after,
// run here untouched by the binaries that share the cluster.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/entry/LibraryHarness.h"

namespace mstest {

class PrivateStore {
 public:
  explicit PrivateStore(const std::string &name)
      : database_("ms_" + name + "_" + std::to_string(getpid())) {
    const auto dir = std::filesystem::path(Env("MS_BINARY_DIR")) / "tools-scratch" / database_;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "blobs");
    blobs_ = (dir / "blobs").string();
    registry_ = (dir / "registry.reg").string();
    // Byte order and Unicode case mapping as the cluster's own database.
    const std::string ctype =
        std::system("locale -a 2>/dev/null | grep -qix 'c.utf-\\?8'") == 0 ? "C.UTF-8" : "C";
    Psql("postgres", true,
         "-c " + Shell("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)") + " -c " +
             Shell("CREATE DATABASE " + database_ +
                   " OWNER mailstore ENCODING 'UTF8' TEMPLATE template0 LC_COLLATE 'C' "
                   "LC_CTYPE '" +
                   ctype + "'") +
             " -c " + Shell("ALTER DATABASE " + database_ + " SET timezone TO 'UTC'"));
    const std::string schema = Env("MS_SOURCE_DIR") + "/db/schema/";
    Psql(database_, false, "-f " + Shell(schema + "postgresql.sql"));
    std::string seed = ReadFile(schema + "demo-seed.sql");
    for (size_t at; (at = seed.find("@BLOBDIR@")) != std::string::npos;) {
      seed.replace(at, 9, blobs_);
    }
    std::ofstream((dir / "seed.sql").string()) << seed;
    Psql(database_, false, "-f " + Shell((dir / "seed.sql").string()));
    std::string reg = ReadFile(Env("MAILSTORAGE_TEST_STORE") + "/registry.reg");
    const std::string from = "\"DatabaseName\"=\"mailstore\"";
    reg.replace(reg.find(from), from.size(), "\"DatabaseName\"=\"" + database_ + "\"");
    std::ofstream(registry_, std::ios::binary) << reg;
  }
  ~PrivateStore() {
    Psql("postgres", true, "-c " + Shell("DROP DATABASE IF EXISTS " + database_ + " WITH (FORCE)"));
    std::filesystem::remove_all(std::filesystem::path(blobs_).parent_path());
  }
  PrivateStore(const PrivateStore &) = delete;
  PrivateStore &operator=(const PrivateStore &) = delete;

  const std::string &Registry() const { return registry_; }
  const std::string &Blobs() const { return blobs_; }

  // psql's output of `sql` on this store ("|" between columns, a line per
  // row); as the cluster's superuser when `super`.
  std::string Sql(const std::string &sql, bool super = false) const {
    return Psql(database_, super, "-c " + Shell(sql));
  }
  std::vector<std::string> Rows(const std::string &sql) const { return Lines(Sql(sql)); }
  int64_t Int(const std::string &sql) const {
    const std::string value = Sql(sql);
    return value.empty() ? -1 : std::strtoll(value.c_str(), nullptr, 10);
  }

 private:
  static std::string Env(const char *name) {
    const char *value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
      ADD_FAILURE() << name << " not set: run through ctest";
      return "/nonexistent";
    }
    return value;
  }
  static std::string Shell(const std::string &text) { return Quote(text, "'\\''"); }
  static std::string Psql(const std::string &database, bool super, const std::string &args) {
    return mstest::Psql(database, super ? "mssuper" : "mailstore", args);
  }

  std::string database_;
  std::string blobs_;
  std::string registry_;
};

}  // namespace mstest

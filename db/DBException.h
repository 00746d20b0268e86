#pragma once

#include <stdexcept>
#include <string>

namespace Nauvik {

// Every failure of the database layer: connections, statements, the table
// layer. what() carries the whole text (SQLSTATE, native error, driver message
// and, for statements, ". Query: " + the failing SQL).
class DBException : public std::runtime_error {
 public:
  explicit DBException(const std::string& text) : std::runtime_error(text) {}
};

// Raised only while the process's ODBC environment is being set up.
class CODBCException : public DBException {
 public:
  explicit CODBCException(const std::string& text) : DBException(text) {}
};

}  // namespace Nauvik

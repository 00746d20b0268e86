#pragma once

// What tests of several folders share, one copy each.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "foundation/SimpleThread.h"

namespace mstest {

inline const std::string kDate = "Tue, 15 Nov 1994 08:12:31 +0100";

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `text` cut at every `separator`; lines ('\n') drop a last empty piece.
inline std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  std::istringstream in(text);
  for (std::string piece; std::getline(in, piece, separator);) pieces.push_back(piece);
  if (separator != '\n' && (text.empty() || text.back() == separator)) pieces.emplace_back();
  return pieces;
}

inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

// The number on the summary line that starts with `label`; -1 without one.
inline int SummaryCount(const std::string& out, const std::string& label) {
  const size_t at = out.find("  " + label + " ");
  return at == std::string::npos ? -1 : std::atoi(out.c_str() + at + label.size() + 2);
}

// A mail with the Message-ID (no header when empty), padded to `size` bytes.
inline std::string MakeMail(const std::string& message_id, const std::string& subject,
                            size_t size = 0, const std::string& date = kDate) {
  std::string head =
      "From: Sender <sender@example.invalid>\r\nTo: Receiver <receiver@example.invalid>\r\nDate: " +
      date + "\r\nSubject: " + subject + "\r\n";
  if (!message_id.empty()) head += "Message-ID: " + message_id + "\r\n";
  head += "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
  std::string mail = head + "Hello from the tests.\r\n";
  if (size > mail.size()) mail.insert(head.size(), size - mail.size(), 'x');
  return mail;
}

// The statements that make a user (and a company) of the id.
inline std::string UserSql(const std::string& id, const std::string& name) {
  return "INSERT INTO NS_COMPANY (COM_COMPANYID, COM_NAME) VALUES (" + id + ", '" + name +
         "') ON CONFLICT DO NOTHING; INSERT INTO NS_USER (USR_USERID, COM_COMPANYID, "
         "VES_VESSELID, USR_NAME, USR_ROWSTATUS, USR_VESSELUSER) VALUES (" +
         id + ", " + id + ", 7, '" + name + "', 0, 1)";
}

// A store of the test binary's own (a PrivateStore) for all its tests, named to
// the library through MAILSTORAGE_REGISTRY; `ready` runs once it exists, `done` before it goes.
template <typename Store>
class StoreEnvironment : public ::testing::Environment {
 public:
  StoreEnvironment(std::string name, Store** store, std::function<void()> ready = {},
                   std::function<void()> done = {})
      : name_(std::move(name)), store_(store), ready_(std::move(ready)), done_(std::move(done)) {}
  void SetUp() override {
    *store_ = new Store(name_);
    setenv("MAILSTORAGE_REGISTRY", (*store_)->Registry().c_str(), 1);
    if (ready_) ready_();
  }
  void TearDown() override {
    if (done_) done_();
    delete std::exchange(*store_, nullptr);
  }

 private:
  std::string name_;
  Store** store_;
  std::function<void()> ready_, done_;
};

// A SimpleThread whose work is a function (none: the base Run); stops before its members go.
class FunctionThread : public KAVRO::SimpleThread {
 public:
  explicit FunctionThread(std::function<void(FunctionThread*)> work, const char* name = "Worker")
      : work_(std::move(work)) {
    SetName(name);
  }
  ~FunctionThread() override { Stop(-1); }

 protected:
  void Run() override { work_ ? work_(this) : SimpleThread::Run(); }

 private:
  std::function<void(FunctionThread*)> work_;
};

}  // namespace mstest

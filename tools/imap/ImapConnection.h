#pragma once

// One TCP connection to an IMAP server, plain or TLS (OpenSSL), with the
// buffered line and literal reads the protocol needs. This file and its .cpp
// are the IMAP source's only contact with sockets and OpenSSL. Not
// thread-safe: one thread uses a connection at a time. Move-free: the OpenSSL
// objects point at the socket.

#include <cstddef>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace Nauvik::Import {

// Why a connection or a command failed; decides whether trying again helps.
enum class ImapFailure {
  kNone,
  kNetwork,      // refused, reset, timed out, closed: worth reconnecting
  kHostUnknown,  // the name does not resolve
  kTls,          // handshake or certificate verification failed
  kNoStartTls,   // imap:// to a server that offers no STARTTLS
  kAuth,         // the server refused user name or password
  kProtocol,     // a response we cannot read, or a command the server refused
  kRefused,      // a tagged NO or BAD for one command: the session is still fine
};

struct TlsSettings {
  std::string ca_file;  // "" = the system's CA store
  bool verify = true;   // certificate chain and host name
  // The name the certificate must carry; "" = the host connected to. For a
  // server reached by an address or through a tunnel.
  std::string name;
};

class ImapConnection final {
 public:
  ImapConnection() = default;
  ~ImapConnection();
  ImapConnection(const ImapConnection&) = delete;
  ImapConnection& operator=(const ImapConnection&) = delete;

  // Resolves `host` and connects within `timeout_seconds`; the same timeout
  // then applies to every read and write. False with `error` and failure().
  bool Connect(const std::string& host, int port, int timeout_seconds, std::string* error);

  // TLS handshake on the connected socket (implicit TLS right after Connect,
  // or after the server accepted STARTTLS). Verifies the certificate against
  // `host` unless settings.verify is false.
  bool StartTls(const std::string& host, const TlsSettings& settings, std::string* error);

  bool WriteAll(const std::string& bytes, std::string* error);
  // The longest line a server may send; literals carry anything longer.
  static constexpr size_t kMaxLine = 1u << 20;
  // A line without its CRLF.
  bool ReadLine(std::string* line, std::string* error);
  // Exactly `count` bytes, appended to `out`.
  bool ReadExact(size_t count, std::string* out, std::string* error);

  void Close();
  bool connected() const { return fd_ >= 0 || fed_; }
  bool tls() const { return ssl_ != nullptr; }
  // For the fuzz target: reads come from `bytes`, then the end of input.
  void Feed(std::string bytes) {
    Close();
    buffer_ = std::move(bytes);
    fed_ = true;
  }
  ImapFailure failure() const { return failure_; }

 private:
  bool Fill(std::string* error);  // reads more into buffer_; false on EOF or error
  bool Fail(ImapFailure failure, const std::string& text, std::string* error);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string buffer_;  // read but not yet consumed
  size_t start_ = 0;    // first unconsumed byte of buffer_
  bool fed_ = false;    // reading from Feed's bytes, no socket
  ImapFailure failure_ = ImapFailure::kNone;
};

}  // namespace Nauvik::Import

#include "tools/imap/ImapConnection.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Nauvik::Import {
namespace {

std::string ErrnoText(int err) {
  char buf[256];
  return strerror_r(err, buf, sizeof buf);
}

std::string OpenSslText() {
  std::string text;
  while (unsigned long e = ERR_get_error()) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    text += (text.empty() ? "" : "; ") + std::string(buf);
  }
  return text.empty() ? "no details" : text;
}

bool IsIpLiteral(const std::string& host) {
  in6_addr a6;
  in_addr a4;
  return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

// Connects one address within the timeout; the socket is left blocking.
int ConnectOne(const addrinfo* ai, int timeout_seconds, int* err) {
  int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      *err = errno;
      close(fd);
      return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int n;
    do {
      n = poll(&p, 1, timeout_seconds * 1000);
    } while (n < 0 && errno == EINTR);
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (n == 0)
      so_error = ETIMEDOUT;
    else if (n < 0)
      so_error = errno;
    else
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
    if (so_error != 0) {
      *err = so_error;
      close(fd);
      return -1;
    }
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval tv{timeout_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

ImapConnection::~ImapConnection() { Close(); }

void ImapConnection::Close() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  fd_ = -1;
  fed_ = false;
  buffer_.clear();
  start_ = 0;
}

bool ImapConnection::Fail(ImapFailure failure, const std::string& text, std::string* error) {
  failure_ = failure;
  *error = text;
  return false;
}

bool ImapConnection::Connect(const std::string& host, int port, int timeout_seconds,
                             std::string* error) {
  Close();
  failure_ = ImapFailure::kNone;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
    const bool unknown = rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL;
    return Fail(unknown ? ImapFailure::kHostUnknown : ImapFailure::kNetwork,
                "cannot resolve host " + host + ": " + gai_strerror(rc), error);
  }
  int err = 0;
  for (const addrinfo* ai = list; ai && fd_ < 0; ai = ai->ai_next) {
    fd_ = ConnectOne(ai, timeout_seconds, &err);
  }
  freeaddrinfo(list);
  if (fd_ < 0) {
    return Fail(ImapFailure::kNetwork,
                "cannot connect to " + host + ":" + service + ": " + ErrnoText(err), error);
  }
  return true;
}

bool ImapConnection::StartTls(const std::string& host, const TlsSettings& settings,
                              std::string* error) {
  // Bytes that came after the server's go-ahead but before the handshake
  // were not protected by it: a machine in the path could have put them
  // there to answer our next commands itself.
  if (start_ < buffer_.size()) {
    return Fail(ImapFailure::kTls,
                "the server sent " + std::to_string(buffer_.size() - start_) +
                    " unencrypted bytes after its STARTTLS answer (injected by something in the "
                    "path?): refusing the session",
                error);
  }
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) return Fail(ImapFailure::kTls, "TLS: " + OpenSslText(), error);
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  if (settings.verify) {
    const bool loaded =
        settings.ca_file.empty()
            ? SSL_CTX_set_default_verify_paths(ctx_) == 1
            : SSL_CTX_load_verify_locations(ctx_, settings.ca_file.c_str(), nullptr) == 1;
    if (!loaded) {
      return Fail(ImapFailure::kTls,
                  "cannot read the CA file " + settings.ca_file + ": " + OpenSslText(), error);
    }
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  if (!ssl_ || SSL_set_fd(ssl_, fd_) != 1) {
    return Fail(ImapFailure::kTls, "TLS: " + OpenSslText(), error);
  }
  const std::string& name = settings.name.empty() ? host : settings.name;
  if (!IsIpLiteral(name)) SSL_set_tlsext_host_name(ssl_, name.c_str());
  if (settings.verify) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    // A partial wildcard (f*.example.org) would let a certificate made for
    // one name family stand for hosts its owner was never meant to have.
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int ok = IsIpLiteral(name) ? X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str())
                                     : X509_VERIFY_PARAM_set1_host(param, name.c_str(), 0);
    if (ok != 1) return Fail(ImapFailure::kTls, "TLS: cannot check host " + name, error);
  }
  ERR_clear_error();
  if (SSL_connect(ssl_) != 1) {
    const long verify = SSL_get_verify_result(ssl_);
    if (settings.verify && verify != X509_V_OK) {
      return Fail(ImapFailure::kTls,
                  "the certificate of " + name +
                      " does not verify: " + X509_verify_cert_error_string(verify) +
                      " (give the CA with --imap-ca FILE, or --imap-insecure to skip the check)",
                  error);
    }
    const int saved = errno;
    std::string text = OpenSslText();
    if (text == "no details" && saved != 0) text = ErrnoText(saved);
    if (text.find("unsupported protocol") != std::string::npos ||
        text.find("protocol version") != std::string::npos) {
      text += " (the server offers only TLS below 1.2, which this importer does not speak: "
              "those versions are broken; have the server's TLS upgraded, or reach it through a "
              "tunnel of your own)";
    }
    return Fail(ImapFailure::kTls, "TLS handshake with " + host + " failed: " + text, error);
  }
  return true;
}

bool ImapConnection::WriteAll(const std::string& bytes, std::string* error) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n;
    if (ssl_) {
      ERR_clear_error();
      n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
    } else {
      n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n <= 0) return Fail(ImapFailure::kNetwork, "connection lost while sending", error);
    done += static_cast<size_t>(n);
  }
  return true;
}

bool ImapConnection::Fill(std::string* error) {
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(0, start_);
    start_ = 0;
  }
  if (fd_ < 0) return Fail(ImapFailure::kNetwork, "the server closed the connection", error);
  char chunk[65536];
  while (true) {
    ssize_t n;
    if (ssl_) {
      ERR_clear_error();
      n = SSL_read(ssl_, chunk, sizeof chunk);
    } else {
      n = recv(fd_, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
    }
    if (n > 0) {
      buffer_.append(chunk, static_cast<size_t>(n));
      return true;
    }
    const bool timeout = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    return Fail(ImapFailure::kNetwork,
                timeout ? "the server did not answer in time" : "the server closed the connection",
                error);
  }
}

bool ImapConnection::ReadLine(std::string* line, std::string* error) {
  size_t searched = start_;
  while (true) {
    if (searched - start_ > kMaxLine) {
      return Fail(ImapFailure::kProtocol,
                  "the server sent a line longer than " + std::to_string(kMaxLine) + " bytes",
                  error);
    }
    size_t lf = buffer_.find('\n', searched);
    if (lf != std::string::npos) {
      size_t end = lf > start_ && buffer_[lf - 1] == '\r' ? lf - 1 : lf;
      line->assign(buffer_, start_, end - start_);
      start_ = lf + 1;
      return true;
    }
    searched = buffer_.size();
    const size_t offset = start_;
    if (!Fill(error)) return false;
    searched -= offset - start_;  // Fill may have moved the unconsumed bytes to the front
  }
}

bool ImapConnection::ReadExact(size_t count, std::string* out, std::string* error) {
  out->reserve(out->size() + std::min<size_t>(count, 64u << 20));
  while (count > 0) {
    if (start_ == buffer_.size()) {
      buffer_.clear();
      start_ = 0;
      if (!Fill(error)) return false;
    }
    const size_t take = std::min(count, buffer_.size() - start_);
    out->append(buffer_, start_, take);
    start_ += take;
    count -= take;
  }
  return true;
}

}  // namespace Nauvik::Import

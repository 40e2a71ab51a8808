#pragma once

// Test-only HTTP/1.1 client on raw sockets (optionally TLS through OpenSSL): sends bytes as
// given, so tests can also send what a well-behaved client never would, and reads answers
// framed by Content-Length. Every read gives up after 30 seconds so a broken server fails the
// test instead of hanging it.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "value/json.h"
#include "value/value.h"

namespace tolvan::api::testing {

struct HttpResponse {
  int status = 0;
  std::string reason;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  /// A header's value by case-insensitive name.
  std::optional<std::string> header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
      if (to_lower(n) == to_lower(name)) return v;
    }
    return std::nullopt;
  }
  Value json() const { return parse_json(body); }
};

class Connection {
 public:
  /// Connects to 127.0.0.1:`port`; throws std::runtime_error when refused. With `tls`, a TLS
  /// handshake follows (no certificate verification).
  explicit Connection(std::uint16_t port, SSL_CTX* tls = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    timeval tv{.tv_sec = 30, .tv_usec = 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      const int err = errno;
      ::close(fd_);
      fd_ = -1;
      throw std::runtime_error(std::string("connect failed: ") + std::strerror(err));
    }
    if (tls) {
      ssl_ = SSL_new(tls);
      SSL_set_fd(ssl_, fd_);
      if (SSL_connect(ssl_) != 1) throw std::runtime_error("TLS handshake failed");
    }
  }
  ~Connection() {
    if (ssl_) SSL_free(ssl_);
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// Writes all of `bytes`; false when the peer closed or reset the connection.
  bool send(std::string_view bytes) {
    while (!bytes.empty()) {
      errno = 0;
      const long n = ssl_ ? SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()))
                          : ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  /// The next response; nullopt when the connection ends before a complete one.
  std::optional<HttpResponse> read_response() {
    std::size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return std::nullopt;
    }
    HttpResponse r;
    const std::string head = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    std::size_t line_end = head.find("\r\n");
    const std::string status_line = head.substr(0, line_end);
    // "HTTP/1.1 200 OK"
    const std::size_t sp1 = status_line.find(' ');
    const std::size_t sp2 = status_line.find(' ', sp1 + 1);
    r.status = std::stoi(status_line.substr(sp1 + 1, sp2 - sp1 - 1));
    if (sp2 != std::string::npos) r.reason = status_line.substr(sp2 + 1);
    while (line_end != std::string::npos) {
      const std::size_t start = line_end + 2;
      line_end = head.find("\r\n", start);
      const std::string line = head.substr(start, line_end - start);
      const std::size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      r.headers.emplace_back(line.substr(0, colon), std::string(strip(line.substr(colon + 1))));
    }
    const std::size_t length = std::stoul(r.header("Content-Length").value_or("0"));
    while (buffer_.size() < length) {
      if (!fill()) return std::nullopt;
    }
    r.body = buffer_.substr(0, length);
    buffer_.erase(0, length);
    return r;
  }

  /// True when the server has closed the connection (end of stream or reset), false when
  /// bytes arrive instead.
  bool wait_closed() {
    if (!buffer_.empty()) return false;
    return !fill();
  }

 private:
  bool fill() {
    char chunk[16384];
    long n;
    // With a receive timeout set, a signal (SIGCHLD from the server's own children) interrupts
    // the read even when its handler asks for restarts.
    do {
      errno = 0;
      n = ssl_ ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }

  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string buffer_;
};

/// A request in wire form, with Host and (for a body) Content-Length added.
inline std::string http_request(std::string_view method, std::string_view target,
                                const std::vector<std::pair<std::string, std::string>>& headers,
                                std::string_view body = {}) {
  std::string out = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\n";
  out += "Host: 127.0.0.1\r\n";
  for (const auto& [name, value] : headers)
    out += name + ": " + value + "\r\n";
  if (!body.empty() || method == "POST")
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "\r\n";
  out += body;
  return out;
}

/// One request on a fresh connection; throws when no complete response comes back.
inline HttpResponse round_trip(std::uint16_t port, std::string_view raw, SSL_CTX* tls = nullptr) {
  Connection c(port, tls);
  c.send(raw);
  std::optional<HttpResponse> r = c.read_response();
  if (!r) throw std::runtime_error("no response");
  return *r;
}

}  // namespace tolvan::api::testing

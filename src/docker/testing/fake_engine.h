#pragma once

// A tiny HTTP/1.1 server on a unix socket that plays the container engine in tests, for the
// faults a real engine cannot be made to show: a pull that hangs, an error in the middle of a
// stream, a connection dropped mid-wait. Each connection carries one request, is handled on
// its own thread by the test's handler, and is closed afterwards. For tests only.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "docker/docker.h"
#include "value/testing/temp_dir.h"

namespace tolvan::docker::testing {

struct HttpRequest {
  std::string method;
  std::string target;  // path with query
  std::string path;    // without the query
  std::string body;
};

class FakeEngine;

/// The reply side of one connection.
class Exchange {
 public:
  Exchange(int fd, FakeEngine& engine) : fd_(fd), engine_(engine) {}

  void send_raw(std::string_view data) {
    while (!data.empty()) {
      const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
      if (n <= 0) return;  // the client went away; nothing more to say
      data.remove_prefix(static_cast<std::size_t>(n));
    }
  }

  void reply(int status, std::string_view body, std::string_view content_type = "application/json") {
    send_raw("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " +
             std::string(content_type) + "\r\nContent-Length: " + std::to_string(body.size()) +
             "\r\nConnection: close\r\n\r\n");
    send_raw(body);
  }

  void begin_chunked(int status, std::string_view content_type = "application/json") {
    send_raw("HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Type: " +
             std::string(content_type) + "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
  }

  void chunk(std::string_view data) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", data.size());
    send_raw(size);
    send_raw(data);
    send_raw("\r\n");
  }

  void end_chunked() { send_raw("0\r\n\r\n"); }

  /// Blocks until the engine is stopped: a request that never gets an answer.
  void hang();

 private:
  int fd_;
  FakeEngine& engine_;
};

class FakeEngine {
 public:
  using Handler = std::function<void(const HttpRequest&, Exchange&)>;

  explicit FakeEngine(Handler handler) : handler_(std::move(handler)) {
    socket_path_ = (dir_ / "engine.sock").string();
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 16) != 0) {
      throw std::runtime_error("fake engine: cannot listen on " + socket_path_);
    }
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  ~FakeEngine() { stop(); }
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;

  /// Settings that reach this engine.
  Settings settings() const {
    Settings s;
    s.host = "unix://" + socket_path_;
    return s;
  }

  /// "METHOD target" of every request received so far, in arrival order.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  /// Wakes hanging handlers, closes every connection and joins every thread.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
      for (const int fd : connections_) ::shutdown(fd, SHUT_RDWR);
    }
    stopped_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    wake_acceptor();
    acceptor_.join();
    ::close(listen_fd_);
    std::vector<std::thread> workers;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      workers.swap(workers_);
    }
    for (auto& w : workers) w.join();
  }

 private:
  friend class Exchange;

  // A connection of our own, in case shutdown() does not interrupt accept() on this kernel.
  void wake_acceptor() const {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socket_path_.c_str(), socket_path_.size() + 1);
    (void)::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::close(fd);
  }

  void accept_loop() {
    for (;;) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      std::lock_guard<std::mutex> lock(mutex_);
      if (fd < 0 || stopping_) {
        if (fd >= 0) ::close(fd);
        return;
      }
      connections_.push_back(fd);
      workers_.emplace_back([this, fd] { serve(fd); });
    }
  }

  void serve(int fd) {
    HttpRequest request;
    if (read_request(fd, request)) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request.method + " " + request.target);
      }
      Exchange exchange(fd, *this);
      handler_(request, exchange);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase(connections_, fd);
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }

  static bool read_request(int fd, HttpRequest& request) {
    std::string data;
    char buf[4096];
    std::size_t head_end;
    while ((head_end = data.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      data.append(buf, static_cast<std::size_t>(n));
    }
    const std::string head = data.substr(0, head_end);
    const std::size_t sp1 = head.find(' ');
    const std::size_t sp2 = head.find(' ', sp1 + 1);
    request.method = head.substr(0, sp1);
    request.target = head.substr(sp1 + 1, sp2 - sp1 - 1);
    request.path = request.target.substr(0, request.target.find('?'));
    std::size_t length = 0;
    std::string lower;
    for (const char c : head) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t cl = lower.find("\r\ncontent-length:");
    if (cl != std::string::npos) length = std::stoul(head.substr(cl + 17));
    request.body = data.substr(head_end + 4);
    while (request.body.size() < length) {
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      request.body.append(buf, static_cast<std::size_t>(n));
    }
    return true;
  }

  tolvan::testing::TempDir dir_;
  std::string socket_path_;
  int listen_fd_ = -1;
  Handler handler_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
  std::vector<std::string> requests_;
  std::thread acceptor_;
};

inline void Exchange::hang() {
  std::unique_lock<std::mutex> lock(engine_.mutex_);
  engine_.stopped_.wait(lock, [this] { return engine_.stopping_; });
}

/// One frame of the engine's multiplexed log stream.
inline std::string log_frame(int stream_type, std::string_view payload) {
  std::string frame(8, '\0');
  frame[0] = static_cast<char>(stream_type);
  const auto n = static_cast<std::uint32_t>(payload.size());
  frame[4] = static_cast<char>((n >> 24) & 0xFF);
  frame[5] = static_cast<char>((n >> 16) & 0xFF);
  frame[6] = static_cast<char>((n >> 8) & 0xFF);
  frame[7] = static_cast<char>(n & 0xFF);
  frame.append(payload);
  return frame;
}

}  // namespace tolvan::docker::testing

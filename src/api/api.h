#pragma once

// The HTTP API layer: serves /run/{alias}, /aliases, /health and /internal/logs/reopen over
// HTTP/1.1 (HTTPS when SslEnabled) on ListenAddress:ListenPort, with the process-wide
// configuration store, auth and executor.
//
// Requests are read and answered on a few I/O threads; executions run on a worker pool of
// MaxConcurrentRuns threads, and a run beyond that is answered 429 at once. Request line and
// headers are limited to 16 KiB (431), bodies to 1 MiB (413, chunked bodies included), and a
// client gets 10 s to send its headers and 30 s for its body; a slow or idle client only ever
// holds a connection, never a worker.
//
// Failure: `start` throws std::runtime_error when it cannot listen (address in use, bad TLS
// certificate or key); once serving, no request can end it.
// Thread-safety: `graceful_shutdown` may be called from any thread, any number of times,
// also before `start`.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tolvan::api {

class Server {
 public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Serves on the calling thread (plus I/O and worker threads of its own) until
  /// `graceful_shutdown`, then returns once every request in progress has been answered.
  /// Returns at once when a shutdown was requested before. Throws std::runtime_error when it
  /// cannot listen.
  void start();

  /// Stops accepting connections and closes idle ones; requests in progress (executions
  /// included) finish and are answered, then `start` returns. Does not wait for that.
  void graceful_shutdown() noexcept;

  /// Listens on `port` instead of ListenPort; 0 picks a free port (see `bound_port`).
  /// Takes effect at the next `start`.
  void set_port(std::uint16_t port);
  /// Called once `start` is listening, with the port bound, before any request is served.
  void set_on_listening(std::function<void(std::uint16_t port)> callback);
  /// The port being listened on; 0 while not listening.
  std::uint16_t bound_port() const { return bound_port_.load(); }

  /// The version /health reports; the build's version unless set.
  void set_version(std::string version);

 private:
  struct Runtime;

  mutable std::mutex mutex_;
  std::shared_ptr<Runtime> runtime_;  // while `start` serves
  bool shutdown_requested_ = false;
  std::optional<std::uint16_t> port_;
  std::function<void(std::uint16_t)> on_listening_;
  std::string version_;
  std::atomic<std::uint16_t> bound_port_{0};
};

/// The process-wide instance the service shell starts.
extern Server api;

}  // namespace tolvan::api

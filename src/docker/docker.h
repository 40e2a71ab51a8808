#pragma once

// Client for the container engine's HTTP API (API version 1.41), over a unix socket or TCP
// (optionally TLS), built on libcurl. Works with Docker and with Podman's compatible service.
//
// Failure: every operation throws a docker::Error subclass on failure, never anything else
// for engine or transport problems:
//   ConnectionError  the engine cannot be reached, or the connection broke mid-call;
//   Timeout          the call ran past its time limit (the connection was established);
//   ApiError         the engine answered with an error (status() is the HTTP status; 200 when
//                    the error arrived inside a 200 progress stream, as pulls report them);
//   NotFound         an ApiError with status 404 (no such container or image);
//   ImageNotFound    the image is not available (inspect of a missing image, or run when the
//                    image is still missing after one pull).
// what() is the engine's own message where it sent one, otherwise a description of ours.
//
// Thread-safety: a Client holds only immutable settings; every call opens its own curl handle
// and connection, so one Client may be shared by any number of threads.

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/value.h"

namespace tolvan::docker {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ConnectionError : public Error {
 public:
  using Error::Error;
};

class Timeout : public Error {
 public:
  using Error::Error;
};

class ApiError : public Error {
 public:
  ApiError(int status, const std::string& message) : Error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

class NotFound : public ApiError {
 public:
  explicit NotFound(const std::string& message) : ApiError(404, message) {}
};

class ImageNotFound : public NotFound {
 public:
  using NotFound::NotFound;
};

/// How to reach the engine.
struct Settings {
  /// "unix:///path/to.sock" or "tcp://host:port" (port defaults to 2375, 2376 with TLS).
  std::string host = "unix:///var/run/docker.sock";
  /// TLS for tcp hosts; verify_peer checks the engine's certificate against ca_cert.
  bool tls = false;
  bool verify_peer = false;
  /// PEM files; an empty path is not used.
  std::string ca_cert;
  std::string client_cert;
  std::string client_key;
  /// Time allowed to establish a connection, every call.
  double connect_timeout_seconds = 10.0;
  /// Whole-call limit for short calls (ping, inspect, create, start, kill, remove).
  double request_timeout_seconds = 120.0;
  /// Streaming calls (pull, logs) and a create that pulls fail with Timeout when no byte
  /// arrives for this long; waits are not limited by it.
  double stall_timeout_seconds = 600.0;

  /// The usual environment: DOCKER_HOST (default unix:///var/run/docker.sock);
  /// DOCKER_TLS_VERIFY non-empty turns on TLS with peer verification, DOCKER_TLS non-empty
  /// TLS without it; certificates ca.pem, cert.pem and key.pem from DOCKER_CERT_PATH
  /// (default ~/.docker), each used when the file exists. Never throws.
  static Settings from_env();
};

/// One bind mount: host path, path in the container, mode ("rw" or "ro").
struct Bind {
  std::string host;
  std::string container;
  std::string mode = "rw";
};

struct RunOptions {
  /// Image reference exactly as the alias writes it.
  std::string image;
  /// Command line split into arguments by POSIX shell word rules (split_command); nullopt,
  /// or a text without words, runs the image's default command.
  std::optional<std::string> command;
  /// Environment variables in order.
  std::vector<std::pair<std::string, std::string>> environment;
  std::vector<Bind> binds;
  /// HostConfig.NetworkMode ("none", "host", a network name); nullopt leaves it to the engine.
  std::optional<std::string> network_mode;
};

/// A created and started container.
struct Container {
  /// Full container id.
  std::string id;
  /// The engine's inspect document of the container (attrs["Image"] is the image id).
  Value attrs;
};

enum class LogStream { Stdout, Stderr };

class Client {
 public:
  /// Throws Error when the host setting is malformed or its scheme is not unix or tcp.
  /// Does not contact the engine.
  explicit Client(Settings settings);

  /// A client for Settings::from_env() that has answered a ping: throws ConnectionError (or
  /// another Error) when the engine cannot be reached, so "no client" means "no engine".
  static std::shared_ptr<Client> from_env();

  const Settings& settings() const { return settings_; }

  /// GET /_ping.
  void ping() const;

  /// The image's inspect document; ImageNotFound when the engine does not have it.
  Value inspect_image(const std::string& image) const;

  /// Pulls the image (tag "latest" when the reference names none) and follows the progress
  /// stream to its end. An error reported in the stream throws ApiError. With a time limit the
  /// whole call throws Timeout once it is exceeded.
  void pull(const std::string& image, std::optional<double> timeout_seconds = {}) const;

  /// Creates the container (pulling the image once and retrying when the engine reports it
  /// missing; ImageNotFound when it is still unavailable), starts it and inspects it. When
  /// start or inspect fails, the container is removed before the error is thrown, so a failed
  /// run leaves nothing behind.
  Container run(const RunOptions& options) const;

  /// Blocks until the container stops and returns the engine's result mapping (with
  /// "StatusCode"). A result whose "Error" is not null throws ApiError. With a time limit,
  /// throws Timeout when the container is still running at the limit.
  Value wait(const std::string& id, std::optional<double> timeout_seconds = {}) const;

  /// Sends SIGKILL. ApiError when the container is not running.
  void kill(const std::string& id) const;

  /// The complete content of one output stream so far, as bytes: demultiplexed, or as is when
  /// the container has a terminal (everything is then on stdout).
  std::string logs(const std::string& id, LogStream stream) const;

  /// The container's inspect document.
  Value inspect_container(const std::string& id) const;

  /// Removes the container together with its anonymous volumes; `force` kills it first when
  /// it is running. NotFound when there is no such container.
  void remove(const std::string& id, bool force = true) const;

  /// Removes an image reference (untagging it when the image has other names).
  /// ImageNotFound when the engine does not have it.
  void remove_image(const std::string& image) const;

 private:
  Settings settings_;
  std::string base_url_;     // scheme://host[:port]/v1.41
  std::string socket_path_;  // set for unix hosts
};

/// The command's arguments by POSIX shell word rules: blanks separate words; single quotes
/// keep everything literally; inside double quotes a backslash escapes only $ ` " \ and
/// newline; elsewhere a backslash escapes the next character; backslash-newline joins lines.
/// No expansion of any kind. Throws Error for an unterminated quote or a trailing backslash.
std::vector<std::string> split_command(std::string_view command);

}  // namespace tolvan::docker

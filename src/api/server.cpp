// The network side: listening, TLS, reading requests within their limits, handing runs to the
// worker pool and writing answers. What the answers say is decided in handlers.cpp.
//
// Each connection is a Session on a strand of its own. A session is in one of these states:
// waiting for the next request's headers (an idle keep-alive connection, or a slow client),
// reading a body, busy with a request (perhaps waiting for an execution), writing an answer.
// Only the first kind is closed by a graceful shutdown; the others are answered first.
//
// <utility> must come before the Boost headers: Boost 1.74's asio uses std::exchange without
// including it.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "api/api.h"
#include "api/internal/handlers.h"
#include "api/internal/worker_pool.h"
#include "config/config.h"
#include "logger/logger.h"
#include "value/value.h"

#ifndef TOLVAN_VERSION
#define TOLVAN_VERSION "unknown"
#endif

namespace tolvan::api {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace detail {

namespace {

constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr std::uint64_t kBodyLimit = 1024 * 1024;
constexpr auto kHeaderTimeout = std::chrono::seconds(10);
constexpr auto kBodyTimeout = std::chrono::seconds(30);
constexpr auto kWriteTimeout = std::chrono::seconds(60);
constexpr auto kCloseTimeout = std::chrono::seconds(2);
// After refusing a request whose body is still arriving, the rest is read and dropped for a
// while, so that closing does not reset the connection before the client has read the answer.
constexpr std::size_t kDrainLimit = 4 * 1024 * 1024;

using Message = http::request<http::string_body>;

std::string peer_address(const tcp::socket& socket) {
  error_code ec;
  const tcp::endpoint ep = socket.remote_endpoint(ec);
  if (ec) return "-";
  net::ip::address address = ep.address();
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    address = net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6());
  }
  return address.to_string();
}

bool is_http_parse_error(const error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category();
}

}  // namespace

class SessionBase : public std::enable_shared_from_this<SessionBase> {
 public:
  virtual ~SessionBase() = default;
  /// Closes the connection if it is between requests; otherwise the current request is
  /// answered and the connection closed after it.
  virtual void on_shutdown() = 0;
};

struct ServerSettings {
  std::string host;
  std::uint16_t port = 0;
  bool tls = false;
  std::string cert;
  std::string key;
  std::size_t max_runs = 64;
  std::string version;
};

class Engine {
 public:
  explicit Engine(const ServerSettings& settings);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  bool uses_tls() const { return tls_.has_value(); }

  /// Accepts and serves on the calling thread and a few helpers until the shutdown is done.
  void serve();
  /// Asks for a graceful shutdown; any thread.
  void request_shutdown();

  bool stopping() const { return stopping_.load(); }
  void add_session(SessionBase* key, const std::shared_ptr<SessionBase>& session);
  void remove_session(SessionBase* key);

  // Destroyed last: sessions unregister themselves while the io_context is torn down.
  std::mutex sessions_mutex_;
  std::unordered_map<SessionBase*, std::weak_ptr<SessionBase>> sessions_;
  Handlers handlers_;
  std::optional<ssl::context> tls_;
  net::io_context ioc_;
  net::strand<net::io_context::executor_type> accept_strand_;
  tcp::acceptor acceptor_;
  net::steady_timer retry_;
  // Destroyed first: waits for the executions still running.
  WorkerPool pool_;

 private:
  void do_accept();
  void on_accept(const error_code& ec, tcp::socket socket);
  void begin_shutdown();
  void run_loop() noexcept;

  std::atomic<bool> stopping_{false};
};

template <class Stream>
class Session final : public SessionBase {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  template <class... Args>
  Session(Engine& engine, std::string peer, Args&&... args)
      : engine_(engine), peer_(std::move(peer)), stream_(std::forward<Args>(args)...) {}

  ~Session() override { engine_.remove_session(this); }

  void run() {
    engine_.add_session(this, shared_from_this());
    net::dispatch(stream_.get_executor(), [self = self_ptr()] { self->begin(); });
  }

  void on_shutdown() override {
    net::post(stream_.get_executor(), [self = self_ptr()] {
      if (self->state_ == State::Waiting) self->close_now();
    });
  }

 private:
  enum class State { Waiting, Reading, Busy, Writing, Closed };

  std::shared_ptr<Session> self_ptr() {
    return std::static_pointer_cast<Session>(shared_from_this());
  }
  beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

  void begin() {
    if constexpr (kTls) {
      state_ = State::Waiting;
      lowest().expires_after(kHeaderTimeout);
      stream_.async_handshake(ssl::stream_base::server, [self = self_ptr()](error_code ec) {
        if (ec) return self->close_now();
        self->read_header();
      });
    } else {
      read_header();
    }
  }

  void read_header() {
    if (engine_.stopping()) return close_gracefully(false);
    state_ = State::Waiting;
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(kBodyLimit);
    lowest().expires_after(kHeaderTimeout);
    http::async_read_header(
        stream_, buffer_, *parser_,
        [self = self_ptr()](error_code ec, std::size_t) { self->on_header(ec); });
  }

  void on_header(const error_code& ec) {
    if (ec) return on_read_error(ec);
    arrived_ = Clock::now();
    state_ = State::Reading;
    if (parser_->is_done()) return handle();
    if (beast::iequals(parser_->get()[http::field::expect], "100-continue")) {
      continue_ = std::make_shared<http::response<http::empty_body>>(http::status::continue_,
                                                                     parser_->get().version());
      lowest().expires_after(kWriteTimeout);
      http::async_write(stream_, *continue_, [self = self_ptr()](error_code wec, std::size_t) {
        self->continue_.reset();
        if (wec) return self->close_now();
        self->read_body();
      });
      return;
    }
    read_body();
  }

  void read_body() {
    lowest().expires_after(kBodyTimeout);
    http::async_read(stream_, buffer_, *parser_, [self = self_ptr()](error_code ec, std::size_t) {
      if (ec) return self->on_read_error(ec);
      self->handle();
    });
  }

  void on_read_error(const error_code& ec) {
    if (ec == http::error::header_limit) return reject(431, "Request header fields too large");
    if (ec == http::error::body_limit) return reject(413, "Request body too large");
    if (ec == http::error::end_of_stream || ec == http::error::partial_message) {
      return close_now();
    }
    if (is_http_parse_error(ec)) return reject(400, "Bad request");
    close_now();  // timeout, reset, TLS failure, shutdown
  }

  Request to_request(Message& message) const {
    Request request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    for (const auto& f : message) {
      request.headers.set(std::string(f.name_string()), std::string(f.value()));
    }
    request.body = std::move(message.body());
    request.peer = peer_;
    request.arrived = arrived_;
    return request;
  }

  void reject(int status, std::string_view error) {
    if (state_ == State::Waiting) arrived_ = Clock::now();
    state_ = State::Busy;
    const Request partial = to_request(parser_->get());
    send(engine_.handlers_.reject(partial, status, error), true, true);
  }

  void handle() {
    state_ = State::Busy;
    Message message = parser_->release();
    keep_alive_ = message.keep_alive();
    version_ = message.version();
    std::variant<Response, RunJob> outcome = engine_.handlers_.handle(to_request(message));
    if (auto* response = std::get_if<Response>(&outcome)) {
      return send(std::move(*response), !keep_alive_, false);
    }
    auto job = std::make_shared<RunJob>(std::get<RunJob>(std::move(outcome)));
    auto answer = std::make_shared<Response>();
    // Keeps the io_context running while the execution has nothing pending on it.
    auto guard = net::make_work_guard(engine_.ioc_);
    const bool accepted = engine_.pool_.try_submit(
        [self = self_ptr(), job, answer] { *answer = self->engine_.handlers_.run(*job); },
        // Runs once the worker is free again, so the client can never be told the result
        // before it may start another run.
        [self = self_ptr(), answer, guard]() mutable {
          net::post(self->stream_.get_executor(),
                    [self, answer] { self->send(std::move(*answer), !self->keep_alive_, false); });
          guard.reset();
        });
    if (!accepted) send(engine_.handlers_.busy(*job), !keep_alive_, false);
  }

  void send(Response r, bool close, bool drain) {
    if (engine_.stopping()) close = true;
    state_ = State::Writing;
    auto res = std::make_shared<http::response<http::string_body>>();
    res->version(version_);
    res->result(static_cast<unsigned>(r.status));
    if (r.reason) res->reason(*r.reason);
    for (auto& [name, value] : r.headers)
      res->set(name, value);
    res->body() = std::move(r.body);
    res->keep_alive(!close);
    res->prepare_payload();
    lowest().expires_after(kWriteTimeout);
    http::async_write(stream_, *res,
                      [self = self_ptr(), res, close, drain](error_code ec, std::size_t) {
                        if (ec) return self->close_now();
                        if (close) return self->close_gracefully(drain);
                        self->read_header();
                      });
  }

  void close_gracefully(bool drain) {
    state_ = State::Closed;
    lowest().expires_after(kCloseTimeout);
    if constexpr (kTls) {
      (void)drain;
      stream_.async_shutdown([self = self_ptr()](error_code) { self->close_now(); });
    } else {
      error_code ec;
      lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
      if (!drain || ec) return close_now();
      drained_ = 0;
      drain_some();
    }
  }

  void drain_some() {
    lowest().async_read_some(net::buffer(drain_buffer_),
                             [self = self_ptr()](error_code ec, std::size_t n) {
                               self->drained_ += n;
                               if (ec || self->drained_ >= kDrainLimit) return self->close_now();
                               self->drain_some();
                             });
  }

  void close_now() {
    state_ = State::Closed;
    error_code ec;
    lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    lowest().close();
  }

  Engine& engine_;
  std::string peer_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<http::response<http::empty_body>> continue_;
  State state_ = State::Waiting;
  Clock::time_point arrived_ = Clock::now();
  bool keep_alive_ = true;
  unsigned version_ = 11;
  std::array<char, 16 * 1024> drain_buffer_{};
  std::size_t drained_ = 0;
};

using PlainSession = Session<beast::tcp_stream>;
using TlsSession = Session<beast::ssl_stream<beast::tcp_stream>>;

namespace {

ssl::context make_tls_context(const ServerSettings& settings) {
  if (settings.cert.empty() || settings.key.empty()) {
    throw std::runtime_error("SslEnabled is true but SslCert or SslKey is not set");
  }
  ssl::context ctx(ssl::context::tls_server);
  ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                  ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
  // An encrypted key fails at once instead of prompting on the terminal.
  ctx.set_password_callback(
      [](std::size_t, ssl::context::password_purpose) { return std::string(); });
  try {
    ctx.use_certificate_chain_file(settings.cert);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot load SslCert " + settings.cert + ": " + e.what());
  }
  try {
    ctx.use_private_key_file(settings.key, ssl::context::pem);
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot load SslKey " + settings.key + ": " + e.what());
  }
  return ctx;
}

tcp::endpoint listen_endpoint(net::io_context& ioc, const ServerSettings& settings) {
  std::string host = settings.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  error_code ec;
  const net::ip::address address = net::ip::make_address(host, ec);
  if (!ec) return {address, settings.port};
  tcp::resolver resolver(ioc);
  const auto results = resolver.resolve(host, std::to_string(settings.port), ec);
  if (ec || results.empty()) {
    throw std::runtime_error("cannot listen on " + settings.host + ":" +
                             std::to_string(settings.port) + ": " +
                             (ec ? ec.message() : std::string("no address")));
  }
  return results.begin()->endpoint();
}

}  // namespace

Engine::Engine(const ServerSettings& settings)
    : handlers_(settings.version),
      ioc_(static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 2U, 4U))),
      accept_strand_(net::make_strand(ioc_)),
      acceptor_(accept_strand_),
      retry_(accept_strand_),
      pool_(settings.max_runs) {
  if (settings.tls) tls_.emplace(make_tls_context(settings));
  const tcp::endpoint endpoint = listen_endpoint(ioc_, settings);
  error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor_.bind(endpoint, ec);
  if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    throw std::runtime_error("cannot listen on " + settings.host + ":" +
                             std::to_string(settings.port) + ": " + ec.message());
  }
}

void Engine::serve() {
  net::dispatch(accept_strand_, [this] { do_accept(); });
  const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 2U, 4U);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i)
    helpers.emplace_back([this] { run_loop(); });
  run_loop();
  for (std::thread& t : helpers)
    t.join();
}

void Engine::run_loop() noexcept {
  for (;;) {
    try {
      ioc_.run();
      return;
    } catch (const std::exception& e) {
      logger::logger.error(std::string("HTTP server: unexpected failure: ") + e.what());
    } catch (...) {
      logger::logger.error("HTTP server: unexpected failure");
    }
  }
}

void Engine::request_shutdown() {
  net::post(accept_strand_, [this] { begin_shutdown(); });
}

void Engine::begin_shutdown() {
  if (stopping_.exchange(true)) return;
  error_code ec;
  acceptor_.close(ec);
  retry_.cancel();
  std::vector<std::shared_ptr<SessionBase>> live;
  {
    std::lock_guard lock(sessions_mutex_);
    for (auto& [key, weak] : sessions_) {
      if (auto s = weak.lock()) live.push_back(std::move(s));
    }
  }
  for (auto& s : live)
    s->on_shutdown();
}

void Engine::do_accept() {
  acceptor_.async_accept(net::make_strand(ioc_), [this](error_code ec, tcp::socket socket) {
    on_accept(ec, std::move(socket));
  });
}

void Engine::on_accept(const error_code& ec, tcp::socket socket) {
  if (stopping_.load() || ec == net::error::operation_aborted) return;
  if (ec) {
    // Out of descriptors, for instance: try again shortly instead of spinning.
    logger::logger.warning("HTTP server: accept failed: " + ec.message());
    retry_.expires_after(std::chrono::milliseconds(100));
    retry_.async_wait([this](error_code wait_ec) {
      if (!wait_ec && !stopping_.load()) do_accept();
    });
    return;
  }
  error_code opt_ec;
  socket.set_option(tcp::no_delay(true), opt_ec);
  std::string peer = peer_address(socket);
  if (tls_) {
    std::make_shared<TlsSession>(*this, std::move(peer), std::move(socket), *tls_)->run();
  } else {
    std::make_shared<PlainSession>(*this, std::move(peer), std::move(socket))->run();
  }
  do_accept();
}

void Engine::add_session(SessionBase* key, const std::shared_ptr<SessionBase>& session) {
  std::lock_guard lock(sessions_mutex_);
  sessions_[key] = session;
}

void Engine::remove_session(SessionBase* key) {
  std::lock_guard lock(sessions_mutex_);
  sessions_.erase(key);
}

}  // namespace detail

struct Server::Runtime : detail::Engine {
  using Engine::Engine;
};

Server api;

Server::Server() : version_(TOLVAN_VERSION) {}

Server::~Server() = default;

void Server::set_port(std::uint16_t port) {
  std::lock_guard lock(mutex_);
  port_ = port;
}

void Server::set_on_listening(std::function<void(std::uint16_t)> callback) {
  std::lock_guard lock(mutex_);
  on_listening_ = std::move(callback);
}

void Server::set_version(std::string version) {
  std::lock_guard lock(mutex_);
  version_ = std::move(version);
}

void Server::start() {
  detail::ServerSettings settings;
  std::function<void(std::uint16_t)> on_listening;
  {
    std::lock_guard lock(mutex_);
    if (shutdown_requested_ || runtime_) return;
    const config::Config& cfg = config::config;
    const Value host = cfg.get("ListenAddress");
    settings.host = host.truthy() ? to_text(host) : "127.0.0.1";
    const Value port = cfg.get("ListenPort");
    settings.port = port_           ? *port_
                    : port.is_int() ? static_cast<std::uint16_t>(port.as_int())
                                    : 8080;
    settings.tls = cfg.get("SslEnabled") == Value(true);
    settings.cert = cfg.get("SslCert").truthy() ? to_text(cfg.get("SslCert")) : "";
    settings.key = cfg.get("SslKey").truthy() ? to_text(cfg.get("SslKey")) : "";
    const Value max_runs = cfg.get("MaxConcurrentRuns");
    settings.max_runs = max_runs.is_int() && max_runs.as_int() > 0
                            ? static_cast<std::size_t>(max_runs.as_int())
                            : 64;
    settings.version = version_;
    on_listening = on_listening_;
  }

  auto runtime = std::make_shared<Runtime>(settings);
  {
    std::lock_guard lock(mutex_);
    if (shutdown_requested_) return;
    runtime_ = runtime;
  }
  const std::uint16_t port = runtime->port();
  bound_port_.store(port);
  logger::logger.info(std::string("Listening on ") + (runtime->uses_tls() ? "https" : "http") +
                      "://" + settings.host + ":" + std::to_string(port));
  if (on_listening) {
    try {
      on_listening(port);
    } catch (...) {
      bound_port_.store(0);
      std::lock_guard lock(mutex_);
      runtime_.reset();
      throw;
    }
  }

  runtime->serve();

  bound_port_.store(0);
  std::lock_guard lock(mutex_);
  runtime_.reset();
}

void Server::graceful_shutdown() noexcept {
  try {
    std::lock_guard lock(mutex_);
    shutdown_requested_ = true;
    if (runtime_) runtime_->request_shutdown();
  } catch (...) {
  }
}

}  // namespace tolvan::api

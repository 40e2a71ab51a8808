#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <curl/curl.h>

#include "docker/docker.h"
#include "docker/internal/wire.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::docker {
namespace {

constexpr std::string_view kApiPrefix = "/v1.41";

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::string seconds_text(double seconds) {
  std::ostringstream out;
  out << seconds;
  return out.str();
}

long to_millis(double seconds) {
  // At least 1 ms: curl reads 0 as "no limit". At most some 30,000 years, which a long holds.
  const double ms = std::ceil(seconds * 1000.0);
  if (!(ms < 1e15)) return 1'000'000'000'000'000L;
  return ms < 1.0 ? 1L : static_cast<long>(ms);
}

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Why a unix socket refused us, in the words of connect(2): curl only says "Couldn't connect
// to server" (and names localhost port 80), which points at the wrong thing.
std::string unix_connect_reason(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return "socket path too long";
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::strerror(errno);
  const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  ::close(fd);
  if (rc == 0) return "connection refused";  // it answered now; report the earlier refusal
  return std::strerror(err);
}

using CurlHandle = std::unique_ptr<CURL, decltype(&curl_easy_cleanup)>;
using HeaderList = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// What the engine sent back. `body` holds the whole body for an error status, and for a
// success status unless a sink consumed it.
struct Response {
  long status = 0;
  std::string body;
};

struct Request {
  std::string method;
  std::string path;  // below the version prefix, query included
  std::optional<std::string> json_body;
  std::optional<double> total_timeout;         // whole call
  std::optional<double> stall_timeout;         // no byte for this long
  std::function<void(std::string_view)> sink;  // consumes a success body as it arrives
};

struct Transfer {
  CURL* handle = nullptr;
  const Request* request = nullptr;
  Response* response = nullptr;
  int mode = 0;  // 0 undecided, 1 to the sink, 2 into the body
};

size_t on_data(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t n = size * count;
  if (t->mode == 0) {
    long status = 0;
    curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
    t->mode = (t->request->sink && status >= 200 && status < 300) ? 1 : 2;
  }
  if (t->mode == 1) {
    t->request->sink(std::string_view(data, n));
  } else {
    t->response->body.append(data, n);
  }
  return n;
}

std::string path_only(const std::string& path) {
  return path.substr(0, path.find('?'));
}

[[noreturn]] void throw_for_status(long status, const std::string& body) {
  const std::string message = detail::engine_message(static_cast<int>(status), body);
  if (status == 404) throw NotFound(message);
  throw ApiError(static_cast<int>(status), message);
}

Value parse_reply(const std::string& what, const std::string& body) {
  try {
    return parse_json(body);
  } catch (const JsonError& e) {
    throw ApiError(200, "unreadable answer from the container engine to " + what + ": " + e.what());
  }
}

class Transport {
 public:
  Transport(const Settings& settings, const std::string& base_url, const std::string& socket)
      : settings_(settings), base_url_(base_url), socket_(socket) {}

  Response perform(const Request& req) const {
    global_init();
    CurlHandle handle(curl_easy_init(), &curl_easy_cleanup);
    if (!handle) throw Error("cannot create a curl handle");
    CURL* h = handle.get();
    Response response;
    Transfer transfer{h, &req, &response};
    char errbuf[CURL_ERROR_SIZE] = {};

    const std::string url = base_url_ + req.path;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "tolvan");
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_data);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, to_millis(settings_.connect_timeout_seconds));
    if (!socket_.empty()) curl_easy_setopt(h, CURLOPT_UNIX_SOCKET_PATH, socket_.c_str());
    if (settings_.tls) {
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, settings_.verify_peer ? 1L : 0L);
      curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, settings_.verify_peer ? 2L : 0L);
      if (!settings_.ca_cert.empty())
        curl_easy_setopt(h, CURLOPT_CAINFO, settings_.ca_cert.c_str());
      if (!settings_.client_cert.empty()) {
        curl_easy_setopt(h, CURLOPT_SSLCERT, settings_.client_cert.c_str());
      }
      if (!settings_.client_key.empty()) {
        curl_easy_setopt(h, CURLOPT_SSLKEY, settings_.client_key.c_str());
      }
    }
    if (req.total_timeout) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, to_millis(*req.total_timeout));
    if (req.stall_timeout) {
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
      curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME,
                       static_cast<long>(std::max(1.0, std::ceil(*req.stall_timeout))));
    }

    // No "Expect: 100-continue" round trip; an empty POST carries no form content type.
    curl_slist* raw_headers = curl_slist_append(nullptr, "Expect:");
    raw_headers = curl_slist_append(
        raw_headers, req.json_body ? "Content-Type: application/json" : "Content-Type:");
    HeaderList headers(raw_headers, &curl_slist_free_all);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());

    if (req.method == "GET") {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (req.method == "POST") {
      const std::string& body = req.json_body ? *req.json_body : empty_;
      curl_easy_setopt(h, CURLOPT_POST, 1L);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    } else {
      curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, req.method.c_str());
    }

    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK) {
      curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
      return response;
    }
    long sent = 0;
    curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &sent);
    const std::string curl_text = errbuf[0] != '\0' ? errbuf : curl_easy_strerror(rc);
    const std::string call = req.method + " " + path_only(req.path);
    if (sent == 0) {
      std::string reason = curl_text;
      if (rc == CURLE_OPERATION_TIMEDOUT) {
        reason = "no connection within " + seconds_text(settings_.connect_timeout_seconds) + "s";
      } else if (rc == CURLE_COULDNT_CONNECT && !socket_.empty()) {
        reason = unix_connect_reason(socket_);
      }
      throw ConnectionError("Cannot connect to the container engine at " + settings_.host + ": " +
                            reason);
    }
    if (rc == CURLE_OPERATION_TIMEDOUT) {
      if (req.total_timeout) {
        throw Timeout(call + " timed out after " + seconds_text(*req.total_timeout) + "s");
      }
      throw Timeout(call + " timed out: the container engine sent nothing for " +
                    seconds_text(req.stall_timeout.value_or(0)) + "s");
    }
    throw ConnectionError("Connection to the container engine at " + settings_.host +
                          " failed during " + call + ": " + curl_text);
  }

  // A call that must answer with a success status; throws for any other.
  Response expect_success(const Request& req) const {
    Response response = perform(req);
    if (response.status < 200 || response.status >= 300)
      throw_for_status(response.status, response.body);
    return response;
  }

  Request short_call(std::string method, std::string path) const {
    Request req;
    req.method = std::move(method);
    req.path = std::move(path);
    req.total_timeout = settings_.request_timeout_seconds;
    return req;
  }

  Request stream_call(std::string method, std::string path) const {
    Request req;
    req.method = std::move(method);
    req.path = std::move(path);
    req.stall_timeout = settings_.stall_timeout_seconds;
    return req;
  }

 private:
  const Settings& settings_;
  const std::string& base_url_;
  const std::string& socket_;
  const std::string empty_;
};

std::string container_path(const std::string& id, std::string_view rest) {
  return "/containers/" + detail::url_encode(id) + std::string(rest);
}

std::string create_body(const RunOptions& options) {
  Mapping config;
  config.set("Image", options.image);
  if (options.command) {
    std::vector<std::string> words = split_command(*options.command);
    if (!words.empty()) {
      Sequence cmd;
      for (auto& w : words)
        cmd.emplace_back(std::move(w));
      config.set("Cmd", Value(std::move(cmd)));
    }
  }
  Sequence env;
  for (const auto& [name, value] : options.environment)
    env.emplace_back(name + "=" + value);
  config.set("Env", Value(std::move(env)));
  Mapping host;
  Sequence binds;
  for (const Bind& b : options.binds)
    binds.emplace_back(b.host + ":" + b.container + ":" + b.mode);
  host.set("Binds", Value(std::move(binds)));
  if (options.network_mode) host.set("NetworkMode", *options.network_mode);
  config.set("HostConfig", Value(std::move(host)));
  return to_json(Value(std::move(config)));
}

}  // namespace

Settings Settings::from_env() {
  Settings s;
  const std::string host = env_or_empty("DOCKER_HOST");
  if (!host.empty()) s.host = host;
  s.verify_peer = !env_or_empty("DOCKER_TLS_VERIFY").empty();
  s.tls = s.verify_peer || !env_or_empty("DOCKER_TLS").empty();
  if (!s.tls) return s;
  std::filesystem::path dir = env_or_empty("DOCKER_CERT_PATH");
  if (dir.empty()) dir = std::filesystem::path(env_or_empty("HOME")) / ".docker";
  auto existing = [&dir](const char* name) {
    std::error_code ec;
    const auto p = dir / name;
    return std::filesystem::is_regular_file(p, ec) ? p.string() : std::string();
  };
  s.ca_cert = existing("ca.pem");
  s.client_cert = existing("cert.pem");
  s.client_key = existing("key.pem");
  return s;
}

Client::Client(Settings settings) : settings_(std::move(settings)) {
  const std::string& host = settings_.host;
  if (host.rfind("unix://", 0) == 0) {
    socket_path_ = host.substr(7);
    if (socket_path_.empty() || socket_path_.front() != '/') {
      throw Error("invalid container engine host '" + host + "': expected unix:///absolute/path");
    }
    base_url_ = "http://localhost" + std::string(kApiPrefix);
    return;
  }
  if (host.rfind("tcp://", 0) == 0) {
    std::string authority = host.substr(6);
    while (!authority.empty() && authority.back() == '/')
      authority.pop_back();
    if (authority.empty() || authority.find_first_of("/?#@ ") != std::string::npos) {
      throw Error("invalid container engine host '" + host + "': expected tcp://host:port");
    }
    const std::size_t bracket = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    const bool has_port =
        colon != std::string::npos && (bracket == std::string::npos || colon > bracket);
    if (!has_port) authority += settings_.tls ? ":2376" : ":2375";
    base_url_ = (settings_.tls ? "https://" : "http://") + authority + std::string(kApiPrefix);
    return;
  }
  throw Error("unsupported container engine host '" + host +
              "': expected unix:///path or tcp://host:port");
}

std::shared_ptr<Client> Client::from_env() {
  auto client = std::make_shared<Client>(Settings::from_env());
  client->ping();
  return client;
}

void Client::ping() const {
  Transport t(settings_, base_url_, socket_path_);
  t.expect_success(t.short_call("GET", "/_ping"));
}

Value Client::inspect_image(const std::string& image) const {
  Transport t(settings_, base_url_, socket_path_);
  const Response r =
      t.perform(t.short_call("GET", "/images/" + detail::url_encode(image, "/:@") + "/json"));
  if (r.status == 404) throw ImageNotFound(detail::engine_message(404, r.body));
  if (r.status < 200 || r.status >= 300) throw_for_status(r.status, r.body);
  return parse_reply("image inspect", r.body);
}

void Client::pull(const std::string& image, std::optional<double> timeout_seconds) const {
  Transport t(settings_, base_url_, socket_path_);
  const auto [repo, tag] = detail::split_image_reference(image);
  Request req = t.stream_call("POST", "/images/create?fromImage=" + detail::url_encode(repo) +
                                          "&tag=" + detail::url_encode(tag));
  if (timeout_seconds) req.total_timeout = std::max(0.0, *timeout_seconds);
  const Response r = t.expect_success(req);
  if (auto error = detail::pull_stream_error(r.body))
    throw ApiError(static_cast<int>(r.status), *error);
}

Container Client::run(const RunOptions& options) const {
  Transport t(settings_, base_url_, socket_path_);
  Request create = t.short_call("POST", "/containers/create");
  create.json_body = create_body(options);

  Response r = t.perform(create);
  if (r.status == 404) {
    const std::string missing = detail::engine_message(404, r.body);
    if (!detail::is_missing_image_message(missing)) throw NotFound(missing);
    try {
      pull(options.image);
    } catch (const ApiError& e) {
      throw ImageNotFound(missing + " (pull failed: " + e.what() + ")");
    }
    r = t.perform(create);
    if (r.status == 404) {
      const std::string message = detail::engine_message(404, r.body);
      if (detail::is_missing_image_message(message)) throw ImageNotFound(message);
      throw NotFound(message);
    }
  }
  if (r.status < 200 || r.status >= 300) throw_for_status(r.status, r.body);
  const Value created = parse_reply("container create", r.body);
  const Value* id_value = created.find("Id");
  if (id_value == nullptr || !id_value->is_string() || id_value->as_string().empty()) {
    throw ApiError(static_cast<int>(r.status), "the container engine returned no container id");
  }

  Container container{id_value->as_string(), Value()};
  try {
    const Response started =
        t.perform(t.short_call("POST", container_path(container.id, "/start")));
    // 304: already running, which is what we asked for.
    if (started.status != 304 && (started.status < 200 || started.status >= 300)) {
      throw_for_status(started.status, started.body);
    }
    container.attrs = inspect_container(container.id);
  } catch (...) {
    try {
      remove(container.id, true);
    } catch (const Error&) {
      // the original failure is the one worth reporting
    }
    throw;
  }
  return container;
}

Value Client::wait(const std::string& id, std::optional<double> timeout_seconds) const {
  Transport t(settings_, base_url_, socket_path_);
  Request req;
  req.method = "POST";
  req.path = container_path(id, "/wait");
  if (timeout_seconds) req.total_timeout = std::max(0.0, *timeout_seconds);
  const Response r = t.expect_success(req);
  Value result = parse_reply("container wait", r.body);
  const Value* error = result.find("Error");
  if (error != nullptr && !error->is_null()) {
    const Value* message = error->find("Message");
    std::string text =
        message != nullptr && message->truthy() ? to_text(*message) : to_json(*error);
    throw ApiError(static_cast<int>(r.status), "waiting for container " + id + " failed: " + text);
  }
  return result;
}

void Client::kill(const std::string& id) const {
  Transport t(settings_, base_url_, socket_path_);
  t.expect_success(t.short_call("POST", container_path(id, "/kill")));
}

std::string Client::logs(const std::string& id, LogStream stream) const {
  const Value attrs = inspect_container(id);
  const Value* config = attrs.find("Config");
  const Value* tty = config != nullptr ? config->find("Tty") : nullptr;
  const bool raw = tty != nullptr && tty->truthy();

  Transport t(settings_, base_url_, socket_path_);
  const bool out = stream == LogStream::Stdout;
  Request req = t.stream_call(
      "GET", container_path(id, out ? "/logs?stdout=1&stderr=0" : "/logs?stdout=0&stderr=1"));
  detail::LogDemuxer demux(out ? 1 : 2);
  if (!raw) req.sink = [&demux](std::string_view chunk) { demux.feed(chunk); };
  Response r = t.expect_success(req);
  return raw ? std::move(r.body) : demux.take();
}

Value Client::inspect_container(const std::string& id) const {
  Transport t(settings_, base_url_, socket_path_);
  const Response r = t.expect_success(t.short_call("GET", container_path(id, "/json")));
  return parse_reply("container inspect", r.body);
}

void Client::remove(const std::string& id, bool force) const {
  Transport t(settings_, base_url_, socket_path_);
  t.expect_success(t.short_call("DELETE", container_path(id, force ? "?force=1&v=1" : "?v=1")));
}

void Client::remove_image(const std::string& image) const {
  Transport t(settings_, base_url_, socket_path_);
  const Response r =
      t.perform(t.short_call("DELETE", "/images/" + detail::url_encode(image, "/:@")));
  if (r.status == 404) throw ImageNotFound(detail::engine_message(404, r.body));
  if (r.status < 200 || r.status >= 300) throw_for_status(r.status, r.body);
}

}  // namespace tolvan::docker

#include "tests/e2e/support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tolvan::e2e {

std::string tolvan_binary() { return TOLVAN_BINARY; }
std::string source_dir() { return TOLVAN_SOURCE_DIR; }

namespace {

constexpr const char* kAliases = R"(# Several aliases in one file.
- name: echo
  type: process
  mode: inline
  parameters:
    text:
      validator: "[A-Za-z0-9 ]{1,20}"
  command: "printf '%s' {shell_quote(text)}"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain

- name: multi
  type: process
  mode: inline
  command: "printf out; printf err >&2; exit 3"
  exitCodeMap:
    3: {status: 200, text: Three is fine}
  output:
    multiple_values:
      - parameter_name: out
        source: "%stdOut"
      - parameter_name: err
        source: "%stdErr"
      - parameter_name: code
        source: "%exitCode"

- name: folder
  type: process
  mode: inline
  parameters:
    name:
      validator: "[a-z]+"
  files:
    - location: in/name.txt
      content: "{name}"
  command: "cd %sharedDir && cp in/name.txt out/copy.txt && mkdir out/sub && printf x > out/sub/x.txt"
  output:
    single_value:
      source: out/
      content-type: application/zip

- name: fileout
  type: process
  mode: inline
  parameters:
    word:
      validator: "[a-z]+"
  command: "cd %sharedDir && printf '%s' {shell_quote(word)} | tr a-z A-Z > result.txt"
  output:
    single_value:
      source: result.txt
      content-type: text/plain
)";

constexpr const char* kStatusAliases = R"(- name: exit
  type: process
  mode: inline
  parameters:
    code:
      validator: "[0-9]{1,3}"
  command: "exit {code}"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain

- name: mapped
  type: process
  mode: inline
  parameters:
    code:
      validator: "[0-9]{1,3}"
  command: "echo mapped; exit {code}"
  exitCodeMap:
    2: {status: 400, text: Division by zero}
    "*": 503
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain

- name: sleepy
  type: process
  mode: inline
  timeout: 1
  command: "sleep 10"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain

- name: slow
  type: process
  mode: inline
  parameters:
    secs:
      validator: "[0-9]"
  command: "sleep {secs}; echo done"
  output:
    single_value:
      source: "%stdOut"
      content-type: text/plain
)";

constexpr const char* kUsers = R"(- username: alice
  api_keys: [alice-key]
  aliases: [echo, multi, folder, fileout, exit, mapped, sleepy, slow, later, orphan]
- username: bob
  api_keys: [bob-key]
  aliases: [echo, ghost]
)";

// ---- a minimal HTTP/1.1 client ----------------------------------------------------------

class Connection {
 public:
  Connection(std::uint16_t port, bool tls) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    timeval tv{60, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
    }
    if (!tls) return;
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);  // the test's own self-signed certificate
    ssl_ = SSL_new(ctx_);
    SSL_set_fd(ssl_, fd_);
    SSL_set_tlsext_host_name(ssl_, "localhost");
    if (SSL_connect(ssl_) != 1) {
      ERR_clear_error();
      throw std::runtime_error("TLS handshake failed");
    }
  }
  ~Connection() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (ctx_ != nullptr) SSL_CTX_free(ctx_);
    if (fd_ >= 0) ::close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void send_all(const std::string& data) {
    std::size_t off = 0;
    while (off < data.size()) {
      const int n = ssl_ != nullptr
                        ? SSL_write(ssl_, data.data() + off, static_cast<int>(data.size() - off))
                        : static_cast<int>(::send(fd_, data.data() + off, data.size() - off,
                                                  MSG_NOSIGNAL));
      if (n <= 0) throw std::runtime_error("send failed");
      off += static_cast<std::size_t>(n);
    }
  }
  std::string read_all() {
    std::string out;
    char buf[16384];
    for (;;) {
      const int n = ssl_ != nullptr ? SSL_read(ssl_, buf, sizeof buf)
                                    : static_cast<int>(::recv(fd_, buf, sizeof buf, 0));
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    ERR_clear_error();
    return out;
  }

 private:
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string decode_chunked(const std::string& body) {
  std::string out;
  std::size_t pos = 0;
  while (pos < body.size()) {
    const std::size_t eol = body.find("\r\n", pos);
    if (eol == std::string::npos) break;
    const std::size_t size = std::stoul(body.substr(pos, eol - pos), nullptr, 16);
    if (size == 0) break;
    out += body.substr(eol + 2, size);
    pos = eol + 2 + size + 2;
  }
  return out;
}

std::string base64url(const unsigned char* data, std::size_t len) {
  std::string out(4 * ((len + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
                                static_cast<int>(len));
  out.resize(static_cast<std::size_t>(n));
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return out;
}

std::string base64url(const std::string& s) {
  return base64url(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

}  // namespace

std::optional<std::string> HttpResponse::header(std::string_view name) const {
  const std::string wanted = lower(std::string(name));
  for (const auto& [k, v] : headers) {
    if (lower(k) == wanted) return v;
  }
  return std::nullopt;
}

HttpResponse http(std::uint16_t port, const std::string& method, const std::string& target,
                  const HeaderList& headers, const std::string& body, bool tls) {
  Connection conn(port, tls);
  std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  for (const auto& [k, v] : headers) req += k + ": " + v + "\r\n";
  if (!body.empty() || method == "POST") req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  req += "\r\n" + body;
  conn.send_all(req);
  const std::string raw = conn.read_all();

  HttpResponse res;
  const std::size_t head_end = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || head_end == std::string::npos) {
    throw std::runtime_error("not an HTTP response: " + raw.substr(0, 200));
  }
  std::istringstream head(raw.substr(0, head_end));
  std::string line;
  std::getline(head, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // "HTTP/1.1 200 OK"
  const std::size_t sp1 = line.find(' ');
  const std::size_t sp2 = line.find(' ', sp1 + 1);
  res.status = std::stoi(line.substr(sp1 + 1, sp2 - sp1 - 1));
  res.reason = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
  while (std::getline(head, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    res.headers.emplace_back(line.substr(0, colon), value);
  }
  res.body = raw.substr(head_end + 4);
  if (auto te = res.header("Transfer-Encoding"); te && lower(*te) == "chunked") {
    res.body = decode_chunked(res.body);
  } else if (auto cl = res.header("Content-Length")) {
    res.body.resize(std::min(res.body.size(), static_cast<std::size_t>(std::stoul(*cl))));
  }
  return res;
}

std::uint16_t free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return cond();
}

std::optional<ProcStat> proc_stat(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t open = text.find('(');
  const std::size_t close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  ProcStat st;
  st.comm = text.substr(open + 1, close - open - 1);
  if (std::sscanf(text.c_str() + close + 1, " %c %ld", &st.state, &st.ppid) != 2) {
    return std::nullopt;
  }
  return st;
}

std::vector<std::pair<long, ProcStat>> children_of(long parent) {
  std::vector<std::pair<long, ProcStat>> out;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const long pid = std::stol(name);
    if (auto st = proc_stat(pid); st && st->ppid == parent) out.emplace_back(pid, *st);
  }
  return out;
}

int exit_code(int wait_status) {
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
  return -1;
}

// ---- Gateway ------------------------------------------------------------------------------

Gateway::Gateway() : port_(free_port()) {
  write("aliases.d/basic.yaml", kAliases);
  write("aliases.d/statuses.yml", kStatusAliases);
  write("auth.d/users.yaml", kUsers);
}

Gateway::~Gateway() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

fs::path Gateway::write_config() {
  const std::string d = dir().string();
  return write("tolvan.conf", "# written by the test\n"
                              "ListenAddress 127.0.0.1\n"
                              "ListenPort " + std::to_string(port_) + "\n"
                              "AliasDir " + d + "/aliases.d\n"
                              "AuthDir " + d + "/auth.d\n"
                              "SharedDir " + d + "/shared\n"
                              "LogDir " + d + "/logs\n"
                              "PidFile " + d + "/tolvan.pid\n"
                              "AppLog " + d + "/app.log info plain\n"
                              "AuditLog " + d + "/audit.log\n" + extra_config_);
}

void Gateway::spawn(const std::vector<std::string>& args, const std::string& cwd) {
  const std::string out = path("stdout.txt").string();
  const std::string err = path("stderr.txt").string();
  const std::string work = cwd.empty() ? dir().string() : cwd;
  std::vector<std::string> argv_store = launcher_;
  argv_store.push_back(tolvan_binary());
  argv_store.insert(argv_store.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_store) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in_fd = ::open("/dev/null", O_RDONLY);
    const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in_fd < 0 || out_fd < 0 || err_fd < 0 || ::chdir(work.c_str()) != 0) _exit(127);
    ::dup2(in_fd, 0);
    ::dup2(out_fd, 1);
    ::dup2(err_fd, 2);
    ::execvp(argv[0], argv.data());
    _exit(127);
  }
  pid_ = pid;
  exit_status_.reset();
}

bool Gateway::start(const std::vector<std::string>& args) {
  std::vector<std::string> full = {"--config", write_config().string()};
  full.insert(full.end(), args.begin(), args.end());
  return start_raw(full);
}

bool Gateway::start_raw(const std::vector<std::string>& args, const std::string& cwd) {
  spawn(args, cwd);
  return eventually([&] {
           if (reap()) return true;
           try {
             Connection probe(port_, false);
             return true;
           } catch (const std::exception&) {
             return false;
           }
         }) &&
         !exit_status_.has_value();
}

bool Gateway::reap() {
  if (pid_ <= 0) return exit_status_.has_value();
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
  exit_status_ = exit_code(status);
  pid_ = -1;
  return true;
}

int Gateway::run(const std::vector<std::string>& args, std::chrono::milliseconds limit) {
  spawn(args);
  return wait_exit(limit);
}

void Gateway::signal(int sig) const {
  if (pid_ > 0) ::kill(pid_, sig);
}

int Gateway::wait_exit(std::chrono::milliseconds limit) {
  eventually([&] { return reap(); }, limit);
  return exit_status_.value_or(-1);
}

bool Gateway::log_shows(const std::string& text, std::chrono::milliseconds limit) const {
  return eventually([&] { return app_log().find(text) != std::string::npos; }, limit);
}

HttpResponse Gateway::run_alias(const std::string& alias_and_query, const std::string& key,
                                const std::string& body, const std::string& content_type) const {
  HeaderList headers;
  if (!key.empty()) headers.emplace_back("X-API-Key", key);
  if (!content_type.empty()) headers.emplace_back("Content-Type", content_type);
  return request("POST", "/run/" + alias_and_query, headers, body);
}

// ---- JWT ----------------------------------------------------------------------------------

std::pair<std::string, std::string> make_rsa_key() {
  EVP_PKEY* key = EVP_RSA_gen(2048);
  BIO* priv = BIO_new(BIO_s_mem());
  BIO* pub = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(priv, key, nullptr, nullptr, 0, nullptr, nullptr);
  PEM_write_bio_PUBKEY(pub, key);
  auto text = [](BIO* b) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(b, &data);
    std::string s(data, static_cast<std::size_t>(len));
    BIO_free(b);
    return s;
  };
  std::pair<std::string, std::string> pems{text(priv), text(pub)};
  EVP_PKEY_free(key);
  return pems;
}

std::string sign_rs256(const std::string& private_key_pem, const std::string& payload_json) {
  const std::string signing_input =
      base64url(R"({"alg":"RS256","typ":"JWT"})") + "." + base64url(payload_json);
  BIO* bio = BIO_new_mem_buf(private_key_pem.data(), static_cast<int>(private_key_pem.size()));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key);
  std::size_t len = 0;
  EVP_DigestSign(ctx, nullptr, &len,
                 reinterpret_cast<const unsigned char*>(signing_input.data()), signing_input.size());
  std::string sig(len, '\0');
  EVP_DigestSign(ctx, reinterpret_cast<unsigned char*>(sig.data()), &len,
                 reinterpret_cast<const unsigned char*>(signing_input.data()), signing_input.size());
  sig.resize(len);
  EVP_MD_CTX_free(ctx);
  EVP_PKEY_free(key);
  return signing_input + "." + base64url(sig);
}

}  // namespace tolvan::e2e

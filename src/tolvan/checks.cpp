// Checks run once before the service starts serving. Each returns its findings; the startup
// sequence decides what is fatal.

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "config/config.h"
#include "docker/docker.h"
#include "fetcher/fetcher.h"
#include "tolvan/service.h"

namespace tolvan::service::detail {
namespace {

bool has_container_alias(const std::vector<Value>& aliases) {
  for (const Value& alias : aliases) {
    const Value* type = alias.find("type");
    if (type != nullptr && type->is_string() && type->as_string() == "container") return true;
  }
  return false;
}

// ---- OpenSSL helpers -----------------------------------------------------------------------

using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

// The most recent OpenSSL error as text, and an empty queue for the next call.
std::string take_openssl_error(const char* fallback) {
  unsigned long code = 0;
  unsigned long last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return fallback;
  char buf[256];
  ERR_error_string_n(last, buf, sizeof buf);
  return buf;
}

// The whole file as bytes; throws with the system's description when it cannot be read.
std::string read_file(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw std::runtime_error(std::strerror(errno));
  std::string data;
  char buf[8192];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (failed) throw std::runtime_error(std::strerror(err));
  return data;
}

X509Ptr load_certificate(const std::string& path) {
  const std::string pem = read_file(path);
  ERR_clear_error();
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!bio) throw std::runtime_error(take_openssl_error("out of memory"));
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr), X509_free);
  if (!cert) throw std::runtime_error(take_openssl_error("no certificate found"));
  return cert;
}

// An encrypted key must fail at once instead of prompting for a password on the terminal.
int no_password(char*, int, int, void*) { return -1; }

PkeyPtr load_private_key(const std::string& path) {
  const std::string pem = read_file(path);
  ERR_clear_error();
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
  if (!bio) throw std::runtime_error(take_openssl_error("out of memory"));
  PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_password, nullptr), EVP_PKEY_free);
  if (!key) throw std::runtime_error(take_openssl_error("no private key found"));
  return key;
}

std::string public_key_der(EVP_PKEY* key) {
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(key, &der);
  if (len <= 0) {
    ERR_clear_error();
    return {};
  }
  std::string out(reinterpret_cast<const char*>(der), static_cast<std::size_t>(len));
  OPENSSL_free(der);
  return out;
}

}  // namespace

std::optional<std::string> missing_config_warning(const std::string& config_path,
                                                  bool is_default) {
  if (!is_default) return std::nullopt;
  struct stat st {};
  if (::lstat(config_path.c_str(), &st) == 0) return std::nullopt;
  return "Config file not found: " + config_path + ". Starting with default settings.";
}

bool is_running_in_container(const Value& container_setting, const ContainerMarkers& markers) {
  return config::detail::running_in_container(container_setting, markers.dockerenv,
                                              markers.containerenv, markers.env_name.c_str());
}

std::string container_mode_description(const Value& container_setting,
                                       const ContainerMarkers& markers) {
  const char* env_label =
      is_running_in_container(container_setting, markers) ? "container" : "host";
  const char* source = container_setting.is_null() ? "DETECTED" : "configured";
  return std::string("Running on ") + env_label + " (" + source + ")";
}

std::optional<std::string> external_dir_startup_warning(const Value& container_setting,
                                                        const Value& external_dir,
                                                        const ContainerMarkers& markers) {
  if (!is_running_in_container(container_setting, markers)) return std::nullopt;
  if (external_dir.truthy()) return std::nullopt;
  return "Tolvan is running in a container but ExternalDir is not set; this is fine as long as "
         "no alias mounts a SharedDir-relative volume in a sibling container";
}

bool docker_socket_available() noexcept {
  try {
    // from_env pings the engine; the client (and its connection) goes away right after.
    return docker::Client::from_env() != nullptr;
  } catch (...) {
    return false;
  }
}

std::vector<std::string> validate_docker_socket(const Value& container_setting,
                                                const std::vector<Value>& aliases,
                                                const ContainerMarkers& markers) {
  if (!is_running_in_container(container_setting, markers)) return {};
  if (!has_container_alias(aliases)) return {};
  if (docker_socket_available()) return {};
  return {"Tolvan is running in a container and at least one alias has type 'container', but "
          "the Docker socket is not reachable. Mount the Docker socket (e.g. -v "
          "/var/run/docker.sock:/var/run/docker.sock)."};
}

std::vector<std::string> run_startup_fetcher(const std::vector<Value>& aliases,
                                             const Value& refresh_default,
                                             const Value& prefetch_default) {
  if (!has_container_alias(aliases)) return {};
  try {
    return fetcher::startup_pull(Sequence(aliases.begin(), aliases.end()), refresh_default,
                                 prefetch_default);
  } catch (const std::exception& e) {
    // Asking the engine whether an image is present failed for another reason than absence.
    return {std::string("Cannot check local images at startup: ") + e.what()};
  }
}

std::vector<std::string> validate_ssl(const std::string& cert_path, const std::string& key_path) {
  std::vector<std::string> errors;
  X509Ptr cert(nullptr, X509_free);
  PkeyPtr key(nullptr, EVP_PKEY_free);
  try {
    cert = load_certificate(cert_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL certificate " + cert_path + ": " + e.what());
  }
  try {
    key = load_private_key(key_path);
  } catch (const std::exception& e) {
    errors.push_back("Cannot load SSL private key " + key_path + ": " + e.what());
  }
  if (!cert) return errors;

  const ASN1_TIME* not_after = X509_get0_notAfter(cert.get());
  struct tm expiry {};
  if (not_after != nullptr && ASN1_TIME_to_tm(not_after, &expiry) == 1 &&
      X509_cmp_current_time(not_after) < 0) {
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &expiry);
    errors.push_back("SSL certificate " + cert_path + " has expired (expiry: " + text + ")");
  }
  ERR_clear_error();

  if (!key) return errors;
  EVP_PKEY* cert_key = X509_get0_pubkey(cert.get());
  const std::string cert_der = cert_key != nullptr ? public_key_der(cert_key) : std::string();
  const std::string key_der = public_key_der(key.get());
  if (cert_der.empty() || cert_der != key_der) {
    errors.push_back("SSL certificate " + cert_path + " and private key " + key_path +
                     " do not match");
  }
  ERR_clear_error();
  return errors;
}

std::pair<std::optional<std::string>, std::vector<std::string>> get_cert_info(
    const std::string& cert_path) {
  try {
    X509Ptr cert = load_certificate(cert_path);
    std::optional<std::string> cn;
    const X509_NAME* subject = X509_get_subject_name(cert.get());
    const int idx = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (idx >= 0) {
      const ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, idx));
      unsigned char* utf8 = nullptr;
      const int len = ASN1_STRING_to_UTF8(&utf8, data);
      if (len < 0) throw std::runtime_error("bad common name");
      cn = std::string(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(len));
      OPENSSL_free(utf8);
    }

    std::vector<std::string> sans;
    using Names = std::unique_ptr<GENERAL_NAMES, void (*)(GENERAL_NAMES*)>;
    Names names(static_cast<GENERAL_NAMES*>(
                    X509_get_ext_d2i(cert.get(), NID_subject_alt_name, nullptr, nullptr)),
                [](GENERAL_NAMES* n) { GENERAL_NAMES_free(n); });
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names.get()); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
      if (name->type == GEN_DNS) {
        const ASN1_IA5STRING* dns = name->d.dNSName;
        sans.push_back("DNS:" + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                                            static_cast<std::size_t>(ASN1_STRING_length(dns))));
      } else if (name->type == GEN_IPADD) {
        const ASN1_OCTET_STRING* ip = name->d.iPAddress;
        const int len = ASN1_STRING_length(ip);
        const int family = len == 4 ? AF_INET : len == 16 ? AF_INET6 : -1;
        char text[INET6_ADDRSTRLEN];
        if (family < 0 ||
            inet_ntop(family, ASN1_STRING_get0_data(ip), text, sizeof text) == nullptr) {
          continue;
        }
        sans.push_back(std::string("IP:") + text);
      }
    }
    ERR_clear_error();
    return {cn, sans};
  } catch (...) {
    ERR_clear_error();
    return {std::nullopt, {}};
  }
}

}  // namespace tolvan::service::detail

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tolvan/service.h"
#include "value/testing/temp_dir.h"

namespace tolvan::service::detail {
namespace {

using tolvan::testing::TempDir;

// ---- certificate fixtures, made with OpenSSL so each test owns its material --------------

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

PkeyPtr make_key() { return PkeyPtr(EVP_EC_gen("P-256"), EVP_PKEY_free); }

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  const long len = BIO_get_mem_data(bio, &data);
  std::string out(data, static_cast<std::size_t>(len));
  BIO_free(bio);
  return out;
}

std::string key_pem(EVP_PKEY* key, const char* password = nullptr) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (password == nullptr) {
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  } else {
    PEM_write_bio_PrivateKey(bio, key, EVP_aes_128_cbc(), nullptr, 0, nullptr,
                             const_cast<char*>(password));
  }
  return bio_text(bio);
}

struct CertFields {
  std::string cn;    // empty: no common name
  std::string sans;  // OpenSSL's "DNS:x,IP:1.2.3.4" syntax; empty: no extension
  std::string not_before = "20200101000000Z";
  std::string not_after = "20991231235959Z";
};

std::string cert_pem(EVP_PKEY* key, const CertFields& fields) {
  X509* x = X509_new();
  X509_set_version(x, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(x), 1);
  ASN1_TIME_set_string(X509_getm_notBefore(x), fields.not_before.c_str());
  ASN1_TIME_set_string(X509_getm_notAfter(x), fields.not_after.c_str());
  X509_set_pubkey(x, key);
  X509_NAME* name = X509_get_subject_name(x);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Tests"), -1, -1, 0);
  if (!fields.cn.empty()) {
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(fields.cn.c_str()), -1, -1, 0);
  }
  X509_set_issuer_name(x, name);
  if (!fields.sans.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, fields.sans.c_str());
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
  }
  X509_sign(x, key, EVP_sha256());
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, x);
  X509_free(x);
  return bio_text(bio);
}

// ---- container mode -----------------------------------------------------------------------

class ContainerChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    markers.dockerenv = (tmp / "dockerenv").string();
    markers.containerenv = (tmp / "containerenv").string();
    markers.env_name = "TOLVAN_TEST_CONTAINER_MARKER";
    unsetenv(markers.env_name.c_str());
  }
  void TearDown() override { unsetenv(markers.env_name.c_str()); }

  TempDir tmp;
  ContainerMarkers markers;
};

TEST_F(ContainerChecks, DescriptionNamesWhereAndWhyForEverySetting) {
  struct Row {
    Value setting;
    const char* expected;
  };
  const Row rows[] = {
      {Value(), "Running on host (DETECTED)"},
      {Value("TRUE"), "Running on container (configured)"},
      {Value(true), "Running on container (configured)"},
      {Value("1"), "Running on container (configured)"},
      {Value("0"), "Running on host (configured)"},
      {Value("false"), "Running on host (configured)"},
      {Value("yes"), "Running on host (configured)"},
      {Value(""), "Running on host (configured)"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(container_mode_description(r.setting, markers), r.expected) << to_literal(r.setting);
  }
}

TEST_F(ContainerChecks, EachMarkerAloneMeansContainer) {
  tmp.write("dockerenv", "");
  EXPECT_EQ(container_mode_description(Value(), markers), "Running on container (DETECTED)");
  std::filesystem::remove(tmp / "dockerenv");
  std::filesystem::create_directory(tmp / "containerenv");  // a directory counts too
  EXPECT_TRUE(is_running_in_container(Value(), markers));
  std::filesystem::remove(tmp / "containerenv");
  setenv(markers.env_name.c_str(), "", 1);  // set, even when empty
  EXPECT_TRUE(is_running_in_container(Value(), markers));
  EXPECT_FALSE(is_running_in_container(Value("0"), markers)) << "an explicit setting wins";
}

TEST_F(ContainerChecks, ExternalDirNoticeOnlyInAContainerWithoutExternalDir) {
  const std::string notice =
      "Tolvan is running in a container but ExternalDir is not set; this is fine as long as no "
      "alias mounts a SharedDir-relative volume in a sibling container";
  EXPECT_EQ(external_dir_startup_warning(Value("1"), Value(), markers), notice);
  EXPECT_EQ(external_dir_startup_warning(Value("1"), Value(""), markers), notice);
  EXPECT_EQ(external_dir_startup_warning(Value("1"), Value("/srv/shared"), markers), std::nullopt);
  EXPECT_EQ(external_dir_startup_warning(Value("0"), Value(), markers), std::nullopt);
}

// ---- container engine ---------------------------------------------------------------------

class EngineChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* host = getenv("DOCKER_HOST")) saved_ = host;
    // Nothing listens here: the engine is unreachable for these tests.
    setenv("DOCKER_HOST", ("unix://" + (tmp / "no-engine.sock").string()).c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      setenv("DOCKER_HOST", saved_->c_str(), 1);
    } else {
      unsetenv("DOCKER_HOST");
    }
  }

  static Value alias(const char* type) {
    Mapping m;
    m.set("name", std::string("a-") + type);
    m.set("type", type);
    m.set("image", "localhost/none:latest");
    m.set("prefetchImage", "on-start");
    return Value(std::move(m));
  }

  TempDir tmp;
  std::optional<std::string> saved_;
};

TEST_F(EngineChecks, SocketIsRequiredOnlyInAContainerWithContainerAliases) {
  EXPECT_FALSE(docker_socket_available());
  const std::vector<Value> process_only = {alias("process")};
  const std::vector<Value> with_container = {alias("process"), alias("container")};
  EXPECT_EQ(validate_docker_socket(Value("1"), process_only), std::vector<std::string>{});
  EXPECT_EQ(validate_docker_socket(Value("0"), with_container), std::vector<std::string>{});
  EXPECT_EQ(validate_docker_socket(Value("1"), with_container),
            std::vector<std::string>{
                "Tolvan is running in a container and at least one alias has type 'container', "
                "but the Docker socket is not reachable. Mount the Docker socket (e.g. -v "
                "/var/run/docker.sock:/var/run/docker.sock)."});
}

TEST_F(EngineChecks, StartupPullsRunOnlyForContainerAliases) {
  // With only process aliases the engine is not contacted, whatever the policies say.
  EXPECT_EQ(run_startup_fetcher({alias("process")}, Value("on-start"), Value("on-start")),
            std::vector<std::string>{});
  const std::vector<std::string> errors =
      run_startup_fetcher({alias("container")}, Value("no"), Value("no"));
  ASSERT_EQ(errors.size(), 1u) << "the unreachable engine is a startup error";
}

// ---- TLS ----------------------------------------------------------------------------------

class SslChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    key = make_key();
    other = make_key();
    good_cert = tmp.write("good.crt", cert_pem(key.get(), {})).string();
    good_key = tmp.write("good.key", key_pem(key.get())).string();
    other_key = tmp.write("other.key", key_pem(other.get())).string();
    expired_cert = tmp.write("expired.crt", cert_pem(key.get(), {"", "", "20190101000000Z", "20200102030405Z"}))
                       .string();
    encrypted_key = tmp.write("encrypted.key", key_pem(key.get(), "secret")).string();
    garbage = tmp.write("garbage.pem", "not a pem file\n").string();
    missing = (tmp / "missing.pem").string();
  }

  TempDir tmp;
  PkeyPtr key{nullptr, EVP_PKEY_free};
  PkeyPtr other{nullptr, EVP_PKEY_free};
  std::string good_cert, good_key, other_key, expired_cert, encrypted_key, garbage, missing;
};

TEST_F(SslChecks, ReportsEachProblemInOrder) {
  EXPECT_EQ(validate_ssl(good_cert, good_key), std::vector<std::string>{});

  EXPECT_EQ(validate_ssl(expired_cert, good_key),
            std::vector<std::string>{"SSL certificate " + expired_cert +
                                     " has expired (expiry: 2020-01-02 03:04:05 UTC)"});

  EXPECT_EQ(validate_ssl(good_cert, other_key),
            std::vector<std::string>{"SSL certificate " + good_cert + " and private key " +
                                     other_key + " do not match"});

  EXPECT_EQ(validate_ssl(expired_cert, other_key),
            (std::vector<std::string>{
                "SSL certificate " + expired_cert + " has expired (expiry: 2020-01-02 03:04:05 UTC)",
                "SSL certificate " + expired_cert + " and private key " + other_key +
                    " do not match"}));
}

TEST_F(SslChecks, UnreadableMaterialStopsFurtherChecks) {
  std::vector<std::string> errors = validate_ssl(missing, good_key);
  EXPECT_EQ(errors, std::vector<std::string>{"Cannot load SSL certificate " + missing +
                                             ": No such file or directory"});

  errors = validate_ssl(garbage, garbage);
  ASSERT_EQ(errors.size(), 2u) << "both are reported, the key even after the certificate failed";
  EXPECT_EQ(errors[0].rfind("Cannot load SSL certificate " + garbage + ": ", 0), 0u) << errors[0];
  EXPECT_EQ(errors[1].rfind("Cannot load SSL private key " + garbage + ": ", 0), 0u) << errors[1];

  errors = validate_ssl(expired_cert, encrypted_key);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("Cannot load SSL private key " + encrypted_key + ": ", 0), 0u)
      << "an encrypted key is refused without prompting: " << errors[0];
  EXPECT_NE(errors[1].find("has expired"), std::string::npos) << "the expiry is still checked";
}

TEST(GetCertInfo, ReadsCommonNameAndAddressNamesInOrder) {
  TempDir tmp;
  PkeyPtr key = make_key();
  const auto full = tmp.write(
      "full.crt", cert_pem(key.get(), {"gw.example",
                                       "DNS:gw.example,email:ops@example.test,"
                                       "IP:127.0.0.1,URI:https://x.test/,IP:::1"}));
  const auto [cn, sans] = get_cert_info(full.string());
  EXPECT_EQ(cn, "gw.example");
  EXPECT_EQ(sans, (std::vector<std::string>{"DNS:gw.example", "IP:127.0.0.1", "IP:::1"}));

  const auto bare = tmp.write("bare.crt", cert_pem(key.get(), {}));
  const auto [bare_cn, bare_sans] = get_cert_info(bare.string());
  EXPECT_EQ(bare_cn, std::nullopt);
  EXPECT_TRUE(bare_sans.empty());

  const auto [missing_cn, missing_sans] = get_cert_info((tmp / "missing.crt").string());
  EXPECT_EQ(missing_cn, std::nullopt);
  EXPECT_TRUE(missing_sans.empty());
}

TEST(MissingConfigWarning, OnlyForTheDefaultPathWhenNothingIsThere) {
  TempDir tmp;
  const std::string absent = (tmp / "tolvan.conf").string();
  EXPECT_EQ(missing_config_warning(absent, true),
            "Config file not found: " + absent + ". Starting with default settings.");
  EXPECT_EQ(missing_config_warning(absent, false), std::nullopt);
  tmp.write("tolvan.conf", "");
  EXPECT_EQ(missing_config_warning(absent, true), std::nullopt);
}

}  // namespace
}  // namespace tolvan::service::detail

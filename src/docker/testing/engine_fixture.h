#pragma once

// Fixture for tests against the real container engine named by DOCKER_HOST. Without an engine
// the tests are skipped, unless TOLVAN_REQUIRE_ENGINE=1, where a missing engine fails them.
// The engine is expected to hold the local image kLocalImage and to reach a registry at
// 127.0.0.1:5000 holding kRegistryImage; containers get network mode "none". For tests only.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "docker/docker.h"

namespace tolvan::docker::testing {

inline constexpr const char* kLocalImage = "localhost/gwtest-busybox:latest";
inline constexpr const char* kRegistry = "127.0.0.1:5000";
inline constexpr const char* kRegistryRepo = "gwtest-busybox";
inline const std::string kRegistryImage = std::string(kRegistry) + "/" + kRegistryRepo + ":latest";

/// A name no other test run uses.
inline std::string unique_name(const std::string& prefix) {
  std::random_device rd;
  return prefix + std::to_string(rd()) + std::to_string(rd());
}

/// An image reference in the local registry that no engine has pulled yet: a fresh tag of
/// kRegistryImage, made by copying its manifest inside the registry. Empty on failure.
inline std::string fresh_registry_tag() {
  const std::string tag = unique_name("t");
  const std::string base = std::string("http://") + kRegistry + "/v2/" + kRegistryRepo + "/manifests/";
  std::string manifest;
  std::string content_type;
  auto collect = +[](char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
  };
  CURL* h = curl_easy_init();
  curl_slist* accept = curl_slist_append(
      nullptr,
      "Accept: application/vnd.oci.image.manifest.v1+json, "
      "application/vnd.docker.distribution.manifest.v2+json");
  curl_easy_setopt(h, CURLOPT_URL, (base + "latest").c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, accept);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &manifest);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
  long status = 0;
  if (curl_easy_perform(h) == CURLE_OK) {
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    char* ct = nullptr;
    curl_easy_getinfo(h, CURLINFO_CONTENT_TYPE, &ct);
    if (ct != nullptr) content_type = ct;
  }
  curl_slist_free_all(accept);
  curl_easy_cleanup(h);
  if (status != 200 || content_type.empty()) return {};

  std::string ignored;
  h = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, ("Content-Type: " + content_type).c_str());
  curl_easy_setopt(h, CURLOPT_URL, (base + tag).c_str());
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, "PUT");
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, manifest.c_str());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(manifest.size()));
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &ignored);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
  status = 0;
  if (curl_easy_perform(h) == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  curl_slist_free_all(headers);
  curl_easy_cleanup(h);
  if (status != 201) return {};
  return std::string(kRegistry) + "/" + kRegistryRepo + ":" + tag;
}

/// A reference in the local registry that does not exist there.
inline std::string absent_registry_image() {
  return std::string(kRegistry) + "/" + kRegistryRepo + ":" + unique_name("absent");
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* host = std::getenv("DOCKER_HOST");
    const char* require = std::getenv("TOLVAN_REQUIRE_ENGINE");
    const bool required = require != nullptr && std::string(require) == "1";
    std::string why;
    if (host == nullptr || *host == '\0') {
      why = "DOCKER_HOST is not set";
    } else {
      try {
        client_ = Client::from_env();
      } catch (const Error& e) {
        why = e.what();
      }
    }
    if (why.empty()) return;
    if (required) {
      FAIL() << "TOLVAN_REQUIRE_ENGINE=1 but no container engine: " << why;
    }
    GTEST_SKIP() << "no container engine: " << why;
  }

  /// A short-lived container's options: the local test image, no network.
  static RunOptions options(std::string command) {
    RunOptions o;
    o.image = kLocalImage;
    o.command = std::move(command);
    o.network_mode = "none";
    return o;
  }

  std::shared_ptr<Client> client_;
};

/// Removes the container when the test ends, whatever happened.
class ContainerGuard {
 public:
  ContainerGuard(const Client& client, std::string id) : client_(client), id_(std::move(id)) {}
  ~ContainerGuard() {
    try {
      client_.remove(id_, true);
    } catch (const Error&) {
      // already gone
    }
  }
  ContainerGuard(const ContainerGuard&) = delete;
  ContainerGuard& operator=(const ContainerGuard&) = delete;

 private:
  const Client& client_;
  std::string id_;
};

}  // namespace tolvan::docker::testing

// Request parameters: query string plus a body of some content type. The parser never throws;
// it answers with parameters or with a 400/415 error. Accepted parameters are names and values
// of valid UTF-8 text (they reach validators, logs and templates), and percent-encoding every
// byte of them into a query string must give the same parameters back.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api/internal/handlers.h"
#include "value/value.h"

namespace {

namespace d = tolvan::api::detail;

void fail(const char* what, std::string_view detail) {
  std::fprintf(stderr, "params_fuzz: %s: %.*s\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    std::uint32_t cp = 0;
    std::size_t len = 0;
    if (b(i) < 0x80) {
      cp = b(i), len = 1;
    } else if ((b(i) & 0xE0) == 0xC0) {
      cp = b(i) & 0x1F, len = 2;
    } else if ((b(i) & 0xF0) == 0xE0) {
      cp = b(i) & 0x0F, len = 3;
    } else if ((b(i) & 0xF8) == 0xF0) {
      cp = b(i) & 0x07, len = 4;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (std::size_t k = 1; k < len; ++k) {
      if ((b(i + k) & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string encode_all(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    out += '%';
    out += hex[u >> 4];
    out += hex[u & 15];
  }
  return out;
}

constexpr const char* kContentTypes[] = {"",
                                         "application/json",
                                         "application/json; charset=utf-8",
                                         "Application/JSON",
                                         "application/x-www-form-urlencoded",
                                         " application/x-www-form-urlencoded ; charset=UTF-8",
                                         "text/plain",
                                         "multipart/form-data; boundary=x"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string query = in.ConsumeRandomLengthString(512);
  const std::string content_type =
      in.ConsumeBool() ? in.ConsumeRandomLengthString(64) : in.PickValueInArray(kContentTypes);
  const std::string body = in.ConsumeRemainingBytesAsString();

  const d::ParsedParameters parsed = d::parse_parameters(query, content_type, body);
  if (!parsed.error.empty()) {
    if (parsed.status != 400 && parsed.status != 415) fail("error status", parsed.error);
    return 0;
  }
  if (parsed.status != 200) fail("status without error", std::to_string(parsed.status));

  std::string requery;
  for (const auto& [name, value] : parsed.parameters) {
    if (!name.is_string() || !value.is_string()) fail("parameter not text", query);
    if (!valid_utf8(name.as_string()) || !valid_utf8(value.as_string())) {
      fail("parameter not valid UTF-8", name.as_string());
    }
    if (!requery.empty()) requery += '&';
    requery += encode_all(name.as_string()) + "=" + encode_all(value.as_string());
  }
  const d::ParsedParameters again = d::parse_parameters(requery, "", "");
  if (!again.error.empty() || again.parameters != parsed.parameters) {
    fail("parameters do not survive percent-encoding", requery);
  }
  return 0;
}

// base64, percent-encoding and random UUIDs.

#include "value/codec.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include <openssl/rand.h>

namespace tolvan {

namespace {

constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encode(std::string_view bytes, const char* alphabet, bool pad) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]))
                                << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    out += alphabet[(n >> 6) & 63];
    out += alphabet[n & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += alphabet[(n >> 18) & 63];
    out += alphabet[(n >> 12) & 63];
    if (rest == 2) out += alphabet[(n >> 6) & 63];
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

int sextet(char c, bool url) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == (url ? '-' : '+')) return 62;
  if (c == (url ? '_' : '/')) return 63;
  return -1;
}

// Decodes unpadded base64 text in one alphabet.
std::optional<std::string> decode(std::string_view text, bool url) {
  if (text.size() % 4 == 1) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    const int v = sextet(c, url);
    if (v < 0) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

void random_bytes(unsigned char* buf, std::size_t n) {
  // OpenSSL keeps a per-thread generator seeded from the system's entropy.
  if (RAND_bytes(buf, static_cast<int>(n)) == 1) return;
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = getrandom(buf + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("no random bytes available");
    }
    got += static_cast<std::size_t>(r);
  }
}

}  // namespace

std::string base64_encode(std::string_view bytes) {
  return encode(bytes, kStd, true);
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (!text.empty() && text.back() == '=') {
    if (text.size() % 4 != 0) return std::nullopt;
    text.remove_suffix(1);
    if (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 < 2) return std::nullopt;  // "====" or "A==="
  }
  return decode(text, false);
}

std::string base64url_encode(std::string_view bytes) {
  return encode(bytes, kUrl, false);
}

std::optional<std::string> base64url_decode(std::string_view text) {
  return decode(text, true);
}

std::string percent_encode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
        c == '.' || c == '-' || c == '~') {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string random_uuid() {
  std::array<unsigned char, 16> b{};
  random_bytes(b.data(), b.size());
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < b.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[b[i] >> 4];
    out += kHex[b[i] & 0xF];
  }
  return out;
}

}  // namespace tolvan

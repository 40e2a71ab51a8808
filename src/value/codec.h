#pragma once

// Small codecs: base64 (standard and URL-safe), percent-encoding, random UUIDs.
// Thread-safety: pure functions; random_uuid draws from a per-thread generator seeded from
// the system's entropy.

#include <optional>
#include <string>
#include <string_view>

namespace tolvan {

/// RFC 4648 base64 with "=" padding and no line breaks.
std::string base64_encode(std::string_view bytes);
/// Standard alphabet; padding optional; nullopt on any other character.
std::optional<std::string> base64_decode(std::string_view text);
/// URL-safe alphabet without padding (JOSE form).
std::string base64url_encode(std::string_view bytes);
/// URL-safe alphabet, no padding accepted; nullopt when malformed.
std::optional<std::string> base64url_decode(std::string_view text);

/// Percent-encoding of every byte except ASCII letters, digits and `_.-~`, upper-case hex.
std::string percent_encode(std::string_view bytes);

/// A random (version 4) UUID in its 36-character lower-case form.
std::string random_uuid();

}  // namespace tolvan

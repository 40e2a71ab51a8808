#include <string>

#include "preserve/internal/files.h"
#include "preserve/preserve.h"
#include "value/log.h"

namespace tolvan::preserve {

namespace detail {

std::string stream_filename(const Value& entry) {
  if (const Value* filename = entry.find("filename");
      filename != nullptr && !filename->is_null()) {
    std::string text = to_text(*filename);
    if (!text.empty()) return text;
  }
  return to_text(entry.at("stream")) + ".log";
}

std::string stream_dest_path(const std::string& filename, bool flatten,
                             const std::string& log_dir, const std::string& correlation_id) {
  if (flatten) return join_path(log_dir, correlation_id + "_" + filename);
  return join_path(join_path(log_dir, correlation_id), filename);
}

std::string decode_utf8_replace(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t need = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      if (lead == 0xE0) low = 0xA0;   // no overlong forms
      if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      if (lead == 0xF0) low = 0x90;   // no overlong forms
      if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    // Take continuation bytes while they fit; a sequence cut short is replaced as a whole
    // (one U+FFFD for its longest valid start), and decoding resumes at the offending byte.
    std::size_t len = 1;
    while (len <= need && i + len < size) {
      const auto b = static_cast<unsigned char>(bytes[i + len]);
      const unsigned char lo = len == 1 ? low : 0x80;
      const unsigned char hi = len == 1 ? high : 0xBF;
      if (b < lo || b > hi) break;
      ++len;
    }
    if (len == need + 1) {
      out.append(bytes.substr(i, len));
    } else {
      out += kReplacement;
    }
    i += len;
  }
  return out;
}

}  // namespace detail

void preserve_streams(const Sequence& entries, const std::optional<std::string>& captured_stdout,
                      const std::optional<std::string>& captured_stderr, const Value& log_dir,
                      std::string_view correlation_id) {
  if (entries.empty()) return;
  const std::string dir = resolve_log_dir(log_dir);
  const std::string cid = detail::log_name_for(correlation_id);
  for (const Value& entry : entries) {
    const std::string stream = to_text(entry.at("stream"));
    const std::optional<std::string>* content = nullptr;
    if (stream == "stdout") content = &captured_stdout;
    if (stream == "stderr") content = &captured_stderr;
    if (content == nullptr || !content->has_value() || (*content)->empty()) continue;

    const Value* flatten = entry.find("flatten");
    const std::string dest = detail::stream_dest_path(
        detail::stream_filename(entry), flatten != nullptr && flatten->truthy(), dir, cid);
    const std::string error = write_file(dest, detail::decode_utf8_replace(**content));
    if (!error.empty()) {
      log::get_logger("tolvan").error("Stream preserve failed: failed to preserve " + stream +
                                      " to " + quote_literal(dest) + ": " + error);
    }
  }
}

}  // namespace tolvan::preserve

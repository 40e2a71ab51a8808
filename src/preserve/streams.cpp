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
    const std::string error = write_file(dest, utf8_replace_invalid(**content));
    if (!error.empty()) {
      log::get_logger("tolvan").error("Stream preserve failed: failed to preserve " + stream +
                                      " to " + quote_literal(dest) + ": " + error);
    }
  }
}

}  // namespace tolvan::preserve

#pragma once

// Pieces of the engine's wire formats, kept apart from the transport so they can be tested on
// their own. Internal to the docker library and its tests.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tolvan::docker::detail {

/// Log frames: an 8-byte header (stream type, three zero bytes, big-endian payload length)
/// followed by the payload. Chunks may split frames anywhere, headers included.
class LogDemuxer {
 public:
  /// `stream_type`: 1 for stdout, 2 for stderr.
  explicit LogDemuxer(int stream_type) : stream_type_(stream_type) {}

  void feed(std::string_view chunk);
  /// The wanted stream's payload received so far.
  const std::string& output() const { return output_; }
  std::string take() { return std::move(output_); }
  /// True when the input so far ends inside a frame.
  bool incomplete() const { return header_fill_ != 0 || remaining_ != 0; }

 private:
  int stream_type_;
  std::string output_;
  unsigned char header_[8] = {};
  std::size_t header_fill_ = 0;
  std::size_t remaining_ = 0;   // payload bytes left in the current frame
  bool keep_ = false;           // whether the current frame's payload is wanted
};

/// "repo[:tag]" or "repo@digest" as the pull's fromImage and tag; tag "latest" when the
/// reference names none. A colon before the last slash belongs to a registry port.
std::pair<std::string, std::string> split_image_reference(std::string_view image);

/// The first error reported in a pull's progress stream (JSON objects, one per line), from
/// "error" or else "errorDetail.message"; nullopt when the stream reports none.
std::optional<std::string> pull_stream_error(std::string_view body);

/// The engine's message from an error response body ("message" of a JSON object), or the
/// trimmed body, or "HTTP <status>" when it is empty.
std::string engine_message(int status, std::string_view body);

/// True when a 404 from container create means the image is missing (not, say, a network).
bool is_missing_image_message(std::string_view message);

/// Percent-encoding of a query value or path segment; `keep` lists extra characters left as is.
std::string url_encode(std::string_view text, std::string_view keep = "");

}  // namespace tolvan::docker::detail

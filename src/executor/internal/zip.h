#pragma once

// An in-memory zip archive writer: deflate-compressed entries with Unix permission bits and
// DOS modification times (local time, 2-second resolution), no directory entries. Zip64
// records are added only when sizes, offsets or the entry count need them, so an empty archive
// is the 22-byte end record.
//
// Failure: `add` throws std::runtime_error when zlib fails (out of memory).
// Thread-safety: one writer per thread.

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

namespace tolvan::executor::detail {

class ZipWriter {
 public:
  ZipWriter();
  ~ZipWriter();
  ZipWriter(const ZipWriter&) = delete;
  ZipWriter& operator=(const ZipWriter&) = delete;

  /// Appends one file under `name` ("/"-separated). `mode` is the st_mode of the file.
  void add(std::string_view name, std::string_view data, std::time_t mtime, mode_t mode);

  /// Writes the central directory and returns the archive; the writer is then spent.
  std::string finish();

 private:
  struct Entry {
    std::string name;
    std::uint32_t crc = 0;
    std::uint64_t compressed = 0;
    std::uint64_t size = 0;
    std::uint64_t offset = 0;
    std::uint16_t dos_time = 0;
    std::uint16_t dos_date = 0;
    std::uint32_t external_attr = 0;
  };

  z_stream stream_{};
  std::string out_;
  std::string buffer_;  // compressed data of the entry being added
  std::vector<Entry> entries_;
};

}  // namespace tolvan::executor::detail

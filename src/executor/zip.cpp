#include "executor/internal/zip.h"

#include <algorithm>
#include <stdexcept>

namespace tolvan::executor::detail {

namespace {

constexpr std::uint32_t kLocalHeader = 0x04034b50;
constexpr std::uint32_t kCentralHeader = 0x02014b50;
constexpr std::uint32_t kEndRecord = 0x06054b50;
constexpr std::uint32_t kZip64EndRecord = 0x06064b50;
constexpr std::uint32_t kZip64Locator = 0x07064b50;
constexpr std::uint16_t kZip64Extra = 0x0001;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint64_t kMax16 = 0xFFFFu;
constexpr std::uint16_t kVersion = 20;       // deflate
constexpr std::uint16_t kVersionZip64 = 45;  // zip64 records
constexpr std::uint16_t kMadeByUnix = 3 << 8;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::uint16_t kMethodDeflate = 8;

void put16(std::string& out, std::uint64_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& out, std::uint64_t v) {
  put16(out, v & 0xFFFF);
  put16(out, (v >> 16) & 0xFFFF);
}
void put64(std::string& out, std::uint64_t v) {
  put32(out, v & kMax32);
  put32(out, v >> 32);
}

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// DOS date and time of a local time; out-of-range years are clamped to what the format holds.
void dos_time(std::time_t t, std::uint16_t& time_out, std::uint16_t& date_out) {
  std::tm tm{};
  if (localtime_r(&t, &tm) == nullptr || tm.tm_year < 80) {
    tm = std::tm{};
    tm.tm_year = 80, tm.tm_mon = 0, tm.tm_mday = 1;
  } else if (tm.tm_year > 207) {
    tm.tm_year = 207, tm.tm_mon = 11, tm.tm_mday = 31, tm.tm_hour = 23, tm.tm_min = 59,
    tm.tm_sec = 58;
  }
  time_out = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) |
                                        (std::min(tm.tm_sec, 59) / 2));
  date_out =
      static_cast<std::uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

}  // namespace

ZipWriter::ZipWriter() {
  // Raw deflate (no zlib header), default level, as zip writers store it.
  if (deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("zip: cannot initialise deflate");
  }
}

ZipWriter::~ZipWriter() {
  deflateEnd(&stream_);
}

void ZipWriter::add(std::string_view name, std::string_view data, std::time_t mtime, mode_t mode) {
  if (name.size() > kMax16) throw std::runtime_error("zip: entry name too long");
  Entry e;
  e.name = std::string(name);
  e.size = data.size();
  e.offset = out_.size();
  e.external_attr = static_cast<std::uint32_t>(mode & 0xFFFF) << 16;
  dos_time(mtime, e.dos_time, e.dos_date);

  uLong crc = crc32(0L, Z_NULL, 0);
  buffer_.clear();
  if (deflateReset(&stream_) != Z_OK) throw std::runtime_error("zip: deflate reset failed");
  std::size_t pos = 0;
  int rc = Z_OK;
  constexpr std::size_t kChunk = 1 << 30;  // zlib counts in 32 bits
  do {
    const std::size_t n = std::min(kChunk, data.size() - pos);
    crc = crc32_z(crc, reinterpret_cast<const Bytef*>(data.data() + pos), n);
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + pos));
    stream_.avail_in = static_cast<uInt>(n);
    pos += n;
    const int flush = pos == data.size() ? Z_FINISH : Z_NO_FLUSH;
    do {
      const std::size_t used = buffer_.size();
      const std::size_t room = std::max<std::size_t>(deflateBound(&stream_, stream_.avail_in), 64);
      buffer_.resize(used + room);
      stream_.next_out = reinterpret_cast<Bytef*>(buffer_.data() + used);
      stream_.avail_out = static_cast<uInt>(room);
      rc = deflate(&stream_, flush);
      if (rc == Z_STREAM_ERROR) throw std::runtime_error("zip: deflate failed");
      buffer_.resize(used + room - stream_.avail_out);
    } while (stream_.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
  } while (pos < data.size());
  e.crc = static_cast<std::uint32_t>(crc);
  e.compressed = buffer_.size();

  const bool zip64 = e.size >= kMax32 || e.compressed >= kMax32;
  put32(out_, kLocalHeader);
  put16(out_, zip64 ? kVersionZip64 : kVersion);
  put16(out_, is_ascii(e.name) ? 0 : kFlagUtf8);
  put16(out_, kMethodDeflate);
  put16(out_, e.dos_time);
  put16(out_, e.dos_date);
  put32(out_, e.crc);
  put32(out_, zip64 ? kMax32 : e.compressed);
  put32(out_, zip64 ? kMax32 : e.size);
  put16(out_, e.name.size());
  put16(out_, zip64 ? 20 : 0);
  out_ += e.name;
  if (zip64) {
    put16(out_, kZip64Extra);
    put16(out_, 16);
    put64(out_, e.size);
    put64(out_, e.compressed);
  }
  out_ += buffer_;
  entries_.push_back(std::move(e));
}

std::string ZipWriter::finish() {
  const std::uint64_t cd_offset = out_.size();
  for (const Entry& e : entries_) {
    std::string extra;
    if (e.size >= kMax32) put64(extra, e.size);
    if (e.compressed >= kMax32) put64(extra, e.compressed);
    if (e.offset >= kMax32) put64(extra, e.offset);
    const bool zip64 = !extra.empty();
    put32(out_, kCentralHeader);
    put16(out_, kMadeByUnix | (zip64 ? kVersionZip64 : kVersion));
    put16(out_, zip64 ? kVersionZip64 : kVersion);
    put16(out_, is_ascii(e.name) ? 0 : kFlagUtf8);
    put16(out_, kMethodDeflate);
    put16(out_, e.dos_time);
    put16(out_, e.dos_date);
    put32(out_, e.crc);
    put32(out_, std::min(e.compressed, kMax32));
    put32(out_, std::min(e.size, kMax32));
    put16(out_, e.name.size());
    put16(out_, zip64 ? extra.size() + 4 : 0);
    put16(out_, 0);  // comment
    put16(out_, 0);  // disk
    put16(out_, 0);  // internal attributes
    put32(out_, e.external_attr);
    put32(out_, std::min(e.offset, kMax32));
    out_ += e.name;
    if (zip64) {
      put16(out_, kZip64Extra);
      put16(out_, extra.size());
      out_ += extra;
    }
  }
  const std::uint64_t cd_size = out_.size() - cd_offset;
  const std::uint64_t count = entries_.size();
  if (count >= kMax16 || cd_size >= kMax32 || cd_offset >= kMax32) {
    const std::uint64_t record_offset = out_.size();
    put32(out_, kZip64EndRecord);
    put64(out_, 44);  // size of the rest of this record
    put16(out_, kMadeByUnix | kVersionZip64);
    put16(out_, kVersionZip64);
    put32(out_, 0);  // this disk
    put32(out_, 0);  // disk with the central directory
    put64(out_, count);
    put64(out_, count);
    put64(out_, cd_size);
    put64(out_, cd_offset);
    put32(out_, kZip64Locator);
    put32(out_, 0);
    put64(out_, record_offset);
    put32(out_, 1);  // total disks
  }
  put32(out_, kEndRecord);
  put16(out_, 0);
  put16(out_, 0);
  put16(out_, std::min(count, kMax16));
  put16(out_, std::min(count, kMax16));
  put32(out_, std::min(cd_size, kMax32));
  put32(out_, std::min(cd_offset, kMax32));
  put16(out_, 0);  // comment
  entries_.clear();
  return std::move(out_);
}

}  // namespace tolvan::executor::detail

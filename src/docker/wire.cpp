#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "docker/docker.h"
#include "docker/internal/wire.h"
#include "value/json.h"
#include "value/value.h"

namespace tolvan::docker {

std::vector<std::string> split_command(std::string_view command) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;  // a word has started, even if it is still empty ('' or "")
  std::size_t i = 0;
  const std::size_t n = command.size();
  auto end_word = [&] {
    if (in_word) words.push_back(std::move(word));
    word.clear();
    in_word = false;
  };
  while (i < n) {
    const char c = command[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      end_word();
      ++i;
      continue;
    }
    if (c == '\\') {
      if (i + 1 >= n) throw Error("command ends with an unescaped backslash");
      if (command[i + 1] != '\n') {
        word += command[i + 1];
        in_word = true;
      }
      i += 2;
      continue;
    }
    if (c == '\'') {
      const std::size_t close = command.find('\'', i + 1);
      if (close == std::string_view::npos) throw Error("unterminated single quote in command");
      word.append(command.substr(i + 1, close - i - 1));
      in_word = true;
      i = close + 1;
      continue;
    }
    if (c == '"') {
      in_word = true;
      ++i;
      bool closed = false;
      while (i < n) {
        const char d = command[i];
        if (d == '"') {
          closed = true;
          ++i;
          break;
        }
        if (d == '\\' && i + 1 < n) {
          const char e = command[i + 1];
          if (e == '$' || e == '`' || e == '"' || e == '\\') {
            word += e;
            i += 2;
            continue;
          }
          if (e == '\n') {
            i += 2;
            continue;
          }
        }
        word += d;
        ++i;
      }
      if (!closed) throw Error("unterminated double quote in command");
      continue;
    }
    word += c;
    in_word = true;
    ++i;
  }
  end_word();
  return words;
}

namespace detail {

void LogDemuxer::feed(std::string_view chunk) {
  while (!chunk.empty()) {
    if (remaining_ == 0) {
      const std::size_t take = std::min(chunk.size(), sizeof header_ - header_fill_);
      for (std::size_t k = 0; k < take; ++k) {
        header_[header_fill_ + k] = static_cast<unsigned char>(chunk[k]);
      }
      header_fill_ += take;
      chunk.remove_prefix(take);
      if (header_fill_ < sizeof header_) return;
      header_fill_ = 0;
      remaining_ = (std::size_t{header_[4]} << 24) | (std::size_t{header_[5]} << 16) |
                   (std::size_t{header_[6]} << 8) | std::size_t{header_[7]};
      // Type 0 (stdin) only appears on attached terminals; count it as output.
      const int type = header_[0];
      keep_ = type == stream_type_ || (type == 0 && stream_type_ == 1);
      continue;
    }
    const std::size_t take = std::min(chunk.size(), remaining_);
    if (keep_) output_.append(chunk.substr(0, take));
    remaining_ -= take;
    chunk.remove_prefix(take);
  }
}

std::pair<std::string, std::string> split_image_reference(std::string_view image) {
  const std::size_t at = image.rfind('@');
  if (at != std::string_view::npos) {
    return {std::string(image.substr(0, at)), std::string(image.substr(at + 1))};
  }
  const std::size_t colon = image.rfind(':');
  if (colon != std::string_view::npos && image.find('/', colon) == std::string_view::npos) {
    return {std::string(image.substr(0, colon)), std::string(image.substr(colon + 1))};
  }
  return {std::string(image), "latest"};
}

namespace {

std::optional<std::string> error_of(const Value& event) {
  if (!event.is_mapping()) return std::nullopt;
  const Value* error = event.find("error");
  if (error != nullptr && error->truthy()) return to_text(*error);
  const Value* detail = event.find("errorDetail");
  if (detail == nullptr || !detail->truthy()) return std::nullopt;
  const Value* message = detail->find("message");
  if (message != nullptr && message->truthy()) return to_text(*message);
  return to_json(*detail);
}

}  // namespace

std::optional<std::string> pull_stream_error(std::string_view body) {
  while (!body.empty()) {
    const std::size_t eol = body.find('\n');
    const std::string_view line = strip(body.substr(0, eol));
    body = eol == std::string_view::npos ? std::string_view{} : body.substr(eol + 1);
    if (line.empty()) continue;
    Value event;
    try {
      event = parse_json(line);
    } catch (const JsonError&) {
      continue;  // progress lines are informational; only error objects matter
    }
    if (auto error = error_of(event)) return error;
  }
  return std::nullopt;
}

std::string engine_message(int status, std::string_view body) {
  const std::string_view text = strip(body);
  if (!text.empty() && text.front() == '{') {
    try {
      const Value doc = parse_json(text);
      const Value* message = doc.find("message");
      if (message != nullptr && message->truthy()) return to_text(*message);
    } catch (const JsonError&) {
      // not JSON after all: fall through to the raw text
    }
  }
  if (!text.empty()) return std::string(text);
  return "HTTP " + std::to_string(status);
}

bool is_missing_image_message(std::string_view message) {
  const std::string lower = to_lower(message);
  return lower.find("no such image") != std::string::npos ||
         lower.find("image not known") != std::string::npos;
}

std::string url_encode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool unreserved = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                            (u >= '0' && u <= '9') || c == '-' || c == '_' || c == '.' ||
                            c == '~';
    if (unreserved || keep.find(c) != std::string_view::npos) {
      out += c;
      continue;
    }
    out += '%';
    out += kHex[u >> 4];
    out += kHex[u & 0xF];
  }
  return out;
}

}  // namespace detail
}  // namespace tolvan::docker

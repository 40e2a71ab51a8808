// Regular expressions on PCRE2, with our own substitution-template expander.

#define PCRE2_CODE_UNIT_WIDTH 8
#include "value/regex.h"

#include <mutex>
#include <string>
#include <unordered_map>
#include <variant>

#include <pcre2.h>

#include "value/internal/utf8.h"

namespace tolvan {

namespace {

constexpr std::uint32_t kCompileOptions = PCRE2_UTF | PCRE2_UCP;
// The cache holds patterns from alias definitions but also ones that reach `replace` through
// request parameters; past this size it starts over rather than growing without bound.
constexpr std::size_t kMaxCachedPatterns = 1000;

struct Compiled {
  pcre2_code* search = nullptr;  // unanchored, for search and substitute
  pcre2_code* full = nullptr;    // compiled ANCHORED | ENDANCHORED, for full_match
  std::size_t group_count = 0;

  ~Compiled() {
    pcre2_code_free(search);
    pcre2_code_free(full);
  }
};

const Compiled& compiled(void* code) {
  return *static_cast<const Compiled*>(code);
}

std::string error_text(int code) {
  PCRE2_UCHAR buf[256];
  const int n = pcre2_get_error_message(code, buf, sizeof buf);
  if (n < 0) return "regular expression error " + std::to_string(code);
  return std::string(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
}

pcre2_code* compile(std::string_view pattern, std::uint32_t options) {
  int err = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   kCompileOptions | options, &err, &offset, nullptr);
  if (code == nullptr) {
    throw RegexError(error_text(err) + " at offset " + std::to_string(offset));
  }
  // JIT is an optimisation: without it (unsupported platform) the interpreter runs.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return code;
}

bool is_utf_error(int rc) {
  return (rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21) ||
         rc == PCRE2_ERROR_BADUTFOFFSET;
}

class MatchData {
 public:
  explicit MatchData(const pcre2_code* code)
      : md_(pcre2_match_data_create_from_pattern(code, nullptr)) {
    if (md_ == nullptr) throw std::bad_alloc();
  }
  ~MatchData() { pcre2_match_data_free(md_); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
  pcre2_match_data* get() const { return md_; }

 private:
  pcre2_match_data* md_;
};

// Each thread matches with its own JIT stack, larger than PCRE2's 32 KiB default, so that
// patterns such as (a|b)* on long texts stay on the JIT.
class ThreadMatchContext {
 public:
  ThreadMatchContext()
      : context_(pcre2_match_context_create(nullptr)),
        stack_(pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr)) {
    if (context_ != nullptr && stack_ != nullptr) {
      pcre2_jit_stack_assign(context_, nullptr, stack_);
    }
  }
  ~ThreadMatchContext() {
    pcre2_match_context_free(context_);
    pcre2_jit_stack_free(stack_);
  }
  ThreadMatchContext(const ThreadMatchContext&) = delete;
  ThreadMatchContext& operator=(const ThreadMatchContext&) = delete;
  pcre2_match_context* get() const { return context_; }

 private:
  pcre2_match_context* context_;
  pcre2_jit_stack* stack_;
};

// One pcre2_match call; falls back to the interpreter when the JIT stack is still too small.
int run_match(const pcre2_code* code, std::string_view text, std::size_t from,
              std::uint32_t options, const MatchData& md) {
  thread_local const ThreadMatchContext context;
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from, options,
                       md.get(), context.get());
  if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
    rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), from,
                     options | PCRE2_NO_JIT, md.get(), nullptr);
  }
  return rc;
}

RegexMatch to_match(const MatchData& md, std::size_t groups) {
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.get());
  const std::uint32_t pairs = pcre2_get_ovector_count(md.get());
  RegexMatch m;
  m.groups.resize(groups + 1, {std::string::npos, std::string::npos});
  for (std::size_t g = 0; g <= groups && g < pairs; ++g) {
    if (ov[2 * g] != PCRE2_UNSET) m.groups[g] = {ov[2 * g], ov[2 * g + 1]};
  }
  return m;
}

// ---- substitution templates ----

// A parsed template: literal text or a group number.
using Piece = std::variant<std::string, std::size_t>;

bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_octal(char c) {
  return c >= '0' && c <= '7';
}

bool is_identifier(std::string_view s) {
  if (s.empty() || is_digit(s[0])) return false;
  for (char c : s) {
    if (!is_ascii_letter(c) && !is_digit(c) && c != '_') return false;
  }
  return true;
}

std::vector<Piece> parse_template(const Regex& re, std::string_view tpl) {
  std::vector<Piece> pieces;
  std::string literal;
  auto add_group = [&](std::size_t g) {
    if (g > re.group_count()) throw RegexError("invalid group reference " + std::to_string(g));
    if (!literal.empty()) pieces.emplace_back(std::move(literal));
    literal.clear();
    pieces.emplace_back(g);
  };
  for (std::size_t i = 0; i < tpl.size(); ++i) {
    const char c = tpl[i];
    if (c != '\\') {
      literal += c;
      continue;
    }
    if (i + 1 >= tpl.size()) throw RegexError("bad escape (end of pattern)");
    const char e = tpl[++i];
    if (e == 'g') {
      if (i + 1 >= tpl.size() || tpl[i + 1] != '<') throw RegexError("missing <");
      const std::size_t close = tpl.find('>', i + 2);
      if (close == std::string_view::npos) throw RegexError("missing >, unterminated name");
      const std::string_view name = tpl.substr(i + 2, close - (i + 2));
      i = close;
      if (name.empty()) throw RegexError("missing group name");
      bool all_digits = true;
      for (char d : name)
        all_digits = all_digits && is_digit(d);
      if (all_digits) {
        std::size_t g = 0;
        for (char d : name) {
          g = g * 10 + static_cast<std::size_t>(d - '0');
          if (g > 1000000) break;  // certainly beyond the group count
        }
        add_group(g);
      } else if (is_identifier(name)) {
        const int g = re.group_number(name);
        if (g < 0) throw RegexError("unknown group name '" + std::string(name) + "'");
        add_group(static_cast<std::size_t>(g));
      } else {
        throw RegexError("bad character in group name '" + std::string(name) + "'");
      }
    } else if (e == '0') {
      // \0 and up to two more octal digits: a character code.
      unsigned v = 0;
      for (int k = 0; k < 2 && i + 1 < tpl.size() && is_octal(tpl[i + 1]); ++k) {
        v = v * 8 + static_cast<unsigned>(tpl[++i] - '0');
      }
      detail::append_utf8(literal, v);
    } else if (is_digit(e)) {
      // Three octal digits are a character code (\101); otherwise one or two digits are a
      // group reference.
      if (i + 2 < tpl.size() && is_octal(e) && is_octal(tpl[i + 1]) && is_octal(tpl[i + 2])) {
        const unsigned v =
            static_cast<unsigned>((e - '0') * 64 + (tpl[i + 1] - '0') * 8 + (tpl[i + 2] - '0'));
        if (v > 0377) {
          throw RegexError("octal escape value \\" + std::string(tpl.substr(i, 3)) +
                           " outside of range 0-0o377");
        }
        i += 2;
        detail::append_utf8(literal, v);
      } else {
        std::size_t g = static_cast<std::size_t>(e - '0');
        if (i + 1 < tpl.size() && is_digit(tpl[i + 1])) {
          g = g * 10 + static_cast<std::size_t>(tpl[++i] - '0');
        }
        add_group(g);
      }
    } else {
      switch (e) {
        case 'n':
          literal += '\n';
          break;
        case 't':
          literal += '\t';
          break;
        case 'r':
          literal += '\r';
          break;
        case 'f':
          literal += '\f';
          break;
        case 'v':
          literal += '\v';
          break;
        case 'a':
          literal += '\a';
          break;
        case 'b':
          literal += '\b';
          break;
        case '\\':
          literal += '\\';
          break;
        default:
          if (is_ascii_letter(e)) throw RegexError(std::string("bad escape \\") + e);
          // Escaped punctuation (or any other character) stands for itself.
          literal += e;
          break;
      }
    }
  }
  if (!literal.empty()) pieces.emplace_back(std::move(literal));
  return pieces;
}

}  // namespace

Regex::Regex(std::string_view pattern) : pattern_(pattern) {
  auto c = std::make_unique<Compiled>();
  c->search = compile(pattern, 0);
  c->full = compile(pattern, PCRE2_ANCHORED | PCRE2_ENDANCHORED);
  std::uint32_t count = 0;
  pcre2_pattern_info(c->search, PCRE2_INFO_CAPTURECOUNT, &count);
  c->group_count = count;
  code_ = c.release();
}

Regex::~Regex() {
  delete static_cast<Compiled*>(code_);
}

std::shared_ptr<const Regex> Regex::cached(std::string_view pattern) {
  static std::mutex mutex;
  static std::unordered_map<std::string, std::shared_ptr<const Regex>> cache;
  std::string key(pattern);
  {
    std::lock_guard lock(mutex);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
  }
  // Compiled outside the lock; two threads may both compile a new pattern, one result wins.
  auto re = std::make_shared<const Regex>(pattern);
  std::lock_guard lock(mutex);
  if (cache.size() >= kMaxCachedPatterns) cache.clear();
  return cache.emplace(std::move(key), std::move(re)).first->second;
}

std::size_t Regex::group_count() const {
  return compiled(code_).group_count;
}

int Regex::group_number(std::string_view name) const {
  const std::string n(name);
  const int rc = pcre2_substring_number_from_name(compiled(code_).search,
                                                  reinterpret_cast<PCRE2_SPTR>(n.c_str()));
  return rc < 0 ? -1 : rc;
}

bool Regex::full_match(std::string_view text) const {
  const pcre2_code* code = compiled(code_).full;
  MatchData md(code);
  return run_match(code, text, 0, 0, md) >= 0;
}

std::optional<RegexMatch> Regex::search(std::string_view text, std::size_t from) const {
  if (from > text.size()) return std::nullopt;
  const pcre2_code* code = compiled(code_).search;
  MatchData md(code);
  if (run_match(code, text, from, 0, md) < 0) return std::nullopt;
  return to_match(md, group_count());
}

std::string Regex::substitute(std::string_view text, std::string_view replacement,
                              std::size_t count) const {
  const std::vector<Piece> pieces = parse_template(*this, replacement);
  const pcre2_code* code = compiled(code_).search;
  MatchData md(code);
  std::string out;
  std::size_t copied = 0;  // text before this offset is already in `out`
  std::size_t pos = 0;     // where the next search starts
  std::size_t done = 0;
  std::uint32_t options = 0;
  while (pos <= text.size()) {
    const int rc = run_match(code, text, pos, options, md);
    if (rc == PCRE2_ERROR_NOMATCH || (rc < 0 && is_utf_error(rc) && done == 0)) break;
    if (rc < 0) throw RegexError(error_text(rc));
    const RegexMatch m = to_match(md, group_count());
    out.append(text.substr(copied, m.start() - copied));
    for (const Piece& piece : pieces) {
      if (const auto* lit = std::get_if<std::string>(&piece)) {
        out += *lit;
      } else {
        const auto& [s, e] = m.groups[std::get<std::size_t>(piece)];
        if (s != std::string::npos) out.append(text.substr(s, e - s));
      }
    }
    copied = m.end();
    pos = m.end();
    ++done;
    if (count != 0 && done >= count) break;
    // The subject is valid UTF-8 from here on. After an empty match the next match may not be
    // empty at the same place (a non-empty one may start there), as Python's re.sub does.
    options = PCRE2_NO_UTF_CHECK | (m.start() == m.end() ? PCRE2_NOTEMPTY_ATSTART : 0);
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace tolvan

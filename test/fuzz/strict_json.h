// A strict JSON checker (RFC 8259 grammar, UTF-8 text) for the fuzz targets
// and unit tests, with the extra rules the event texts promise.
#ifndef TEST_FUZZ_STRICT_JSON_H_
#define TEST_FUZZ_STRICT_JSON_H_

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace strict_json {

struct Rules {
  bool leaves_are_strings = false;  // no numbers, booleans or nulls
  bool no_empty_containers = false;
  bool no_duplicate_keys = true;
};

struct Result {
  bool ok = true;
  size_t offset = 0;
  std::string error;
  size_t top_level_values = 0;  // elements, when the text is an array
};

class Checker {
 public:
  Checker(const std::string& text, const Rules& rules)
      : s_(text), rules_(rules) {}

  Result run() {
    skip_space();
    int depth = 0;
    value(depth, true);
    if (result_.ok) {
      skip_space();
      if (pos_ != s_.size()) fail("text after the value");
    }
    return result_;
  }

 private:
  static constexpr int kMaxDepth = 512;

  bool fail(const char* why) {
    if (result_.ok) {
      result_.ok = false;
      result_.offset = pos_;
      result_.error = why;
    }
    return false;
  }

  bool at_end() const { return pos_ >= s_.size(); }
  unsigned char peek() const {
    return at_end() ? 0 : static_cast<unsigned char>(s_[pos_]);
  }

  void skip_space() {
    while (!at_end() && (peek() == ' ' || peek() == '\t' || peek() == '\n' ||
                         peek() == '\r')) {
      ++pos_;
    }
  }

  bool literal(const char* word) {
    for (const char* p = word; *p; ++p, ++pos_) {
      if (peek() != static_cast<unsigned char>(*p)) return fail("bad literal");
    }
    return true;
  }

  bool value(int depth, bool top) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    switch (peek()) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1, top);
      case '"': {
        std::string ignored;
        return string(&ignored);
      }
      case 't':
      case 'f':
      case 'n':
        if (rules_.leaves_are_strings) return fail("a leaf that is no string");
        return literal(peek() == 't'   ? "true"
                       : peek() == 'f' ? "false"
                                       : "null");
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
          if (rules_.leaves_are_strings)
            return fail("a leaf that is no string");
          return number();
        }
        return fail("no value");
    }
  }

  bool digits() {
    if (!(peek() >= '0' && peek() <= '9')) return fail("digit expected");
    while (peek() >= '0' && peek() <= '9') ++pos_;
    return true;
  }

  bool number() {
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (!digits()) {
      return false;
    }
    if (peek() == '.') {
      ++pos_;
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!digits()) return false;
    }
    return true;
  }

  static int hex(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex4(uint32_t* out) {
    *out = 0;
    for (int i = 0; i < 4; ++i, ++pos_) {
      int digit = hex(peek());
      if (digit < 0) return fail("bad \\u escape");
      *out = (*out << 4) | static_cast<uint32_t>(digit);
    }
    return true;
  }

  static void append_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // One UTF-8 sequence starting at pos_, appended to out.
  bool utf8(std::string* out) {
    unsigned char c = peek();
    size_t n;
    uint32_t cp;
    if (c < 0x80) {
      n = 1;
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      n = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      n = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      n = 4;
      cp = c & 0x07;
    } else {
      return fail("invalid UTF-8 lead byte");
    }
    if (pos_ + n > s_.size()) return fail("truncated UTF-8");
    for (size_t i = 1; i < n; ++i) {
      unsigned char t = static_cast<unsigned char>(s_[pos_ + i]);
      if ((t & 0xC0) != 0x80) return fail("invalid UTF-8 continuation");
      cp = (cp << 6) | (t & 0x3F);
    }
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return fail("overlong or invalid UTF-8");
    }
    out->append(s_, pos_, n);
    pos_ += n;
    return true;
  }

  bool string(std::string* out) {
    ++pos_;  // the opening quote
    while (true) {
      if (at_end()) return fail("unterminated string");
      unsigned char c = peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("control character in a string");
      if (c != '\\') {
        if (!utf8(out)) return false;
        continue;
      }
      ++pos_;
      unsigned char e = peek();
      ++pos_;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out->push_back(static_cast<char>(e));
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t unit;
          if (!hex4(&unit)) return false;
          // A high surrogate and a low one that follows make one code point;
          // a lone one is kept as its three-byte form.
          if (unit >= 0xD800 && unit < 0xDC00 && pos_ + 1 < s_.size() &&
              s_[pos_] == '\\' && s_[pos_ + 1] == 'u') {
            size_t back = pos_;
            pos_ += 2;
            uint32_t low;
            if (!hex4(&low)) return false;
            if (low >= 0xDC00 && low < 0xE000) {
              unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = back;
            }
          }
          append_utf8(out, unit);
          break;
        }
        default:
          --pos_;
          return fail("bad escape");
      }
    }
  }

  bool object(int depth) {
    ++pos_;
    skip_space();
    if (peek() == '}') {
      if (rules_.no_empty_containers) return fail("empty object");
      ++pos_;
      return true;
    }
    std::set<std::string> keys;
    while (true) {
      if (peek() != '"') return fail("key expected");
      std::string key;
      if (!string(&key)) return false;
      if (rules_.no_duplicate_keys && !keys.insert(key).second) {
        return fail("duplicate key");
      }
      skip_space();
      if (peek() != ':') return fail("':' expected");
      ++pos_;
      skip_space();
      if (!value(depth, false)) return false;
      skip_space();
      if (peek() == ',') {
        ++pos_;
        skip_space();
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      return fail("',' or '}' expected");
    }
  }

  bool array(int depth, bool top) {
    ++pos_;
    skip_space();
    if (peek() == ']') {
      if (rules_.no_empty_containers) return fail("empty array");
      ++pos_;
      return true;
    }
    while (true) {
      if (!value(depth, false)) return false;
      if (top) ++result_.top_level_values;
      skip_space();
      if (peek() == ',') {
        ++pos_;
        skip_space();
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      return fail("',' or ']' expected");
    }
  }

  const std::string& s_;
  Rules rules_;
  size_t pos_ = 0;
  Result result_;
};

inline Result check(const std::string& text, const Rules& rules = Rules()) {
  return Checker(text, rules).run();
}

}  // namespace strict_json

#endif  // TEST_FUZZ_STRICT_JSON_H_

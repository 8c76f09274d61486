#include "json.hpp"

#include <cstdlib>
#include <utility>

namespace {

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::optional<JsonValue> document() {
    JsonValue value;
    if (!parseValue(value, 0)) return std::nullopt;
    skipBlanks();
    if (pos_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void skipBlanks() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }
  bool consume(char c) {
    skipBlanks();
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool literal(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }
  unsigned char at(std::size_t i) const { return i < text_.size() ? static_cast<unsigned char>(text_[i]) : 0; }

  bool parseValue(JsonValue& value, int depth) {
    if (depth > kMaxDepth) return false;
    skipBlanks();
    const char c = static_cast<char>(at(pos_));
    if (c == '{') return parseObject(value, depth);
    if (c == '[') return parseArray(value, depth);
    if (c == '"') {
      value.kind = JsonValue::Kind::string;
      return parseString(value.string);
    }
    if (literal("true")) {
      value.kind = JsonValue::Kind::boolean;
      value.boolean = true;
      return true;
    }
    if (literal("false")) {
      value.kind = JsonValue::Kind::boolean;
      return true;
    }
    if (literal("null")) return true;
    return parseNumber(value);
  }

  bool parseObject(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::object;
    ++pos_;
    if (consume('}')) return true;
    do {
      std::string name;
      skipBlanks();
      if (at(pos_) != '"' || !parseString(name) || !consume(':')) return false;
      JsonValue member;
      if (!parseValue(member, depth + 1)) return false;
      value.members.push_back(JsonMember{std::move(name), std::move(member)});
    } while (consume(','));
    return consume('}');
  }

  bool parseArray(JsonValue& value, int depth) {
    value.kind = JsonValue::Kind::array;
    ++pos_;
    if (consume(']')) return true;
    do {
      JsonValue element;
      if (!parseValue(element, depth + 1)) return false;
      value.array.push_back(std::move(element));
    } while (consume(','));
    return consume(']');
  }

  bool parseNumber(JsonValue& value) {
    const std::size_t start = pos_;
    if (at(pos_) == '-') ++pos_;
    if (at(pos_) == '0') {
      ++pos_;
    } else if (at(pos_) >= '1' && at(pos_) <= '9') {
      while (at(pos_) >= '0' && at(pos_) <= '9') ++pos_;
    } else {
      return false;
    }
    if (at(pos_) == '.') {
      ++pos_;
      if (!(at(pos_) >= '0' && at(pos_) <= '9')) return false;
      while (at(pos_) >= '0' && at(pos_) <= '9') ++pos_;
    }
    if (at(pos_) == 'e' || at(pos_) == 'E') {
      ++pos_;
      if (at(pos_) == '+' || at(pos_) == '-') ++pos_;
      if (!(at(pos_) >= '0' && at(pos_) <= '9')) return false;
      while (at(pos_) >= '0' && at(pos_) <= '9') ++pos_;
    }
    value.kind = JsonValue::Kind::number;
    value.number = std::strtod(std::string(text_.substr(start, pos_ - start)).c_str(), nullptr);
    return true;
  }

  bool hex4(unsigned& code) {
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const unsigned char c = at(pos_++);
      unsigned digit = 0;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10u;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10u;
      else
        return false;
      code = code * 16 + digit;
    }
    return true;
  }

  static void appendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | code >> 6);
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | code >> 12);
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | code >> 18);
      out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  // One raw UTF-8 character at pos_, decoded and checked (no overlong forms, no surrogates).
  bool rawCharacter(std::string& out) {
    const unsigned char lead = at(pos_);
    int extra = 0;
    unsigned code = 0;
    if (lead < 0x80) {
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code = lead & 0x07u;
    } else {
      return false;
    }
    for (int i = 1; i <= extra; ++i) {
      const unsigned char c = at(pos_ + static_cast<std::size_t>(i));
      if ((c & 0xC0) != 0x80) return false;
      code = code << 6 | (c & 0x3Fu);
    }
    static constexpr unsigned kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    appendUtf8(out, code);
    pos_ += static_cast<std::size_t>(extra) + 1;
    return true;
  }

  bool parseString(std::string& out) {
    ++pos_;  // the opening quote
    while (pos_ < text_.size()) {
      const unsigned char c = at(pos_);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return false;
      if (c != '\\') {
        if (!rawCharacter(out)) return false;
        continue;
      }
      ++pos_;
      const char escape = static_cast<char>(at(pos_++));
      switch (escape) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned code = 0;
          if (!hex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {  // a surrogate pair
            unsigned low = 0;
            if (at(pos_) != '\\' || at(pos_ + 1) != 'u') return false;
            pos_ += 2;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
          }
          appendUtf8(out, code);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](std::string_view name) const {
  static const JsonValue kNull;
  for (const JsonMember& member : members) {
    if (member.name == name) return member.value;
  }
  return kNull;
}

bool JsonValue::has(std::string_view name) const {
  for (const JsonMember& member : members) {
    if (member.name == name) return true;
  }
  return false;
}

std::optional<JsonValue> parseJson(std::string_view text) { return Parser(text).document(); }

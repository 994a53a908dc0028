#include "json/json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace lumra {

const JsonValue* JsonValue::find(std::u16string_view key) const {
  if (!isObject()) return nullptr;
  const JsonObject& object = asObject();
  auto it = object.find(std::u16string(key));
  return it == object.end() ? nullptr : it->second.get();
}

namespace {

// ---- Parser ----

class Parser {
 public:
  explicit Parser(std::u16string_view text) : text_(text) {}

  std::unique_ptr<JsonValue> parseDocument() {
    if (!skipWhitespace()) return nullptr;
    std::unique_ptr<JsonValue> value = parseValue(0);
    if (!value) return nullptr;
    if (skipWhitespace()) return nullptr;
    return value;
  }

 private:
  bool atEnd() const { return pos_ >= text_.size(); }
  char16_t peek() const { return text_[pos_]; }
  size_t remaining() const { return text_.size() - pos_; }

  // Moves over white space; true when something follows.
  bool skipWhitespace() {
    while (!atEnd()) {
      char16_t c = peek();
      if (c != u' ' && c != u'\t' && c != u'\r' && c != u'\n') return true;
      ++pos_;
    }
    return false;
  }

  // ASCII case is ignored for the literals.
  bool matchLiteral(std::u16string_view word) {
    if (remaining() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i) {
      char16_t c = text_[pos_ + i];
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      if (c != word[i]) return false;
    }
    pos_ += word.size();
    return true;
  }

  std::unique_ptr<JsonValue> parseValue(int depth) {
    if (atEnd()) return nullptr;
    char16_t c = peek();
    if (c == u'"') {
      ++pos_;
      std::u16string text;
      if (!extractString(&text)) return nullptr;
      return std::make_unique<JsonValue>(std::move(text));
    }
    if (matchLiteral(u"true")) return std::make_unique<JsonValue>(true);
    if (matchLiteral(u"false")) return std::make_unique<JsonValue>(false);
    if (matchLiteral(u"null")) return std::make_unique<JsonValue>();
    if (c == u'-' || (c >= u'0' && c <= u'9')) return parseNumber();
    if (c == u'[') return parseArray(depth + 1);
    if (c == u'{') return parseObject(depth + 1);
    return nullptr;
  }

  static int hexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
  }

  bool extractString(std::u16string* out) {
    for (;;) {
      // Copy the run that needs no attention in one step.
      size_t start = pos_;
      while (pos_ < text_.size()) {
        char16_t c = text_[pos_];
        if (c == u'"' || c == u'\\' || (c < 0x20 && c != u'\t')) break;
        ++pos_;
      }
      out->append(text_.substr(start, pos_ - start));
      if (atEnd()) return false;
      char16_t c = text_[pos_++];
      if (c == u'"') return true;
      if (c != u'\\') return false;  // a raw control character
      if (atEnd()) return false;
      char16_t escape = text_[pos_];
      switch (escape) {
        case u'"': out->push_back(u'"'); break;
        case u'\\': out->push_back(u'\\'); break;
        case u'/': out->push_back(u'/'); break;
        case u'b': out->push_back(u'\b'); break;
        case u'f': out->push_back(u'\f'); break;
        case u'n': out->push_back(u'\n'); break;
        case u'r': out->push_back(u'\r'); break;
        case u't': out->push_back(u'\t'); break;
        case u'u': {
          if (remaining() < 5) return false;
          char16_t unit = 0;
          for (size_t i = 1; i <= 4; ++i) {
            int digit = hexDigit(text_[pos_ + i]);
            if (digit < 0) return false;
            unit = static_cast<char16_t>(unit * 16 + digit);
          }
          out->push_back(unit);  // surrogates, paired or not, are kept as they are
          pos_ += 4;
          break;
        }
        default: return false;
      }
      ++pos_;
    }
  }

  // value = value * 10 + digit over the run of digits.
  double parseDigits() {
    double value = 0;
    while (!atEnd() && peek() >= u'0' && peek() <= u'9') {
      value = value * 10 + (peek() - u'0');
      ++pos_;
    }
    return value;
  }

  double parseFraction() {
    double sum = 0, factor = 0.1;
    while (!atEnd() && peek() >= u'0' && peek() <= u'9') {
      sum += (peek() - u'0') * factor;
      factor *= 0.1;
      ++pos_;
    }
    return sum;
  }

  static bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

  std::unique_ptr<JsonValue> parseNumber() {
    bool negative = false;
    if (peek() == u'-') {
      negative = true;
      ++pos_;
    }
    if (atEnd()) return nullptr;
    double value = 0;
    if (peek() == u'0') {
      ++pos_;
    } else if (isDigit(peek())) {
      value = parseDigits();
    } else {
      return nullptr;
    }
    if (!atEnd() && peek() == u'.') {
      ++pos_;
      if (atEnd() || !isDigit(peek())) return nullptr;
      value += parseFraction();
    }
    if (!atEnd() && (peek() == u'e' || peek() == u'E')) {
      ++pos_;
      bool divide = false;
      if (!atEnd() && (peek() == u'-' || peek() == u'+')) {
        divide = peek() == u'-';
        ++pos_;
      }
      if (atEnd() || !isDigit(peek())) return nullptr;
      double exponent = parseDigits();
      // One step per unit; once the value is zero or infinite no further
      // step changes it, so stopping there gives the same result.
      for (double count = 0; count < exponent; ++count) {
        value = divide ? value / 10 : value * 10;
        if (value == 0 || std::isinf(value)) break;
      }
    }
    if (negative) value *= -1.0;
    return std::make_unique<JsonValue>(value);
  }

  std::unique_ptr<JsonValue> parseArray(int depth) {
    if (depth > kJsonMaxDepth) return nullptr;
    ++pos_;  // '['
    if (atEnd()) return nullptr;
    JsonArray elements;
    for (;;) {
      if (!skipWhitespace()) return nullptr;
      if (elements.empty() && peek() == u']') break;
      std::unique_ptr<JsonValue> element = parseValue(depth);
      if (!element) return nullptr;
      elements.push_back(std::move(element));
      if (!skipWhitespace()) return nullptr;
      if (peek() == u']') break;
      if (peek() != u',') return nullptr;
      ++pos_;
      if (atEnd()) return nullptr;
    }
    ++pos_;  // ']'
    return std::make_unique<JsonValue>(std::move(elements));
  }

  std::unique_ptr<JsonValue> parseObject(int depth) {
    if (depth > kJsonMaxDepth) return nullptr;
    ++pos_;  // '{'
    if (atEnd()) return nullptr;
    JsonObject members;
    for (;;) {
      if (!skipWhitespace()) return nullptr;
      if (members.empty() && peek() == u'}') break;
      if (peek() != u'"') return nullptr;
      ++pos_;
      std::u16string key;
      if (!extractString(&key)) return nullptr;
      if (!skipWhitespace() || peek() != u':') return nullptr;
      ++pos_;
      if (!skipWhitespace()) return nullptr;
      std::unique_ptr<JsonValue> value = parseValue(depth);
      if (!value) return nullptr;
      members[std::move(key)] = std::move(value);  // the last occurrence wins
      if (!skipWhitespace()) return nullptr;
      if (peek() == u'}') break;
      if (peek() != u',') return nullptr;
      ++pos_;
      if (atEnd()) return nullptr;
    }
    ++pos_;  // '}'
    return std::make_unique<JsonValue>(std::move(members));
  }

  std::u16string_view text_;
  size_t pos_ = 0;
};

// ---- Writers ----

constexpr char kHex[] = "0123456789ABCDEF";

// Number text as a stream with precision 15 writes it.
size_t formatNumber(double value, char* buffer, size_t size) {
  if (std::isnan(value) || std::isinf(value)) {
    std::memcpy(buffer, "null", 4);
    return 4;
  }
  // Whole numbers with at most 15 digits come out as plain digits.
  if (value == std::trunc(value) && std::fabs(value) < 1e15 && !(value == 0 && std::signbit(value))) {
    auto result = std::to_chars(buffer, buffer + size, static_cast<int64_t>(value));
    return static_cast<size_t>(result.ptr - buffer);
  }
  int n = std::snprintf(buffer, size, "%.15g", value);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// The escape for a code unit that stringify escapes, or nullptr.
const char* shortEscape(char16_t c) {
  switch (c) {
    case u'"': return "\\\"";
    case u'\\': return "\\\\";
    case u'/': return "\\/";
    case u'\b': return "\\b";
    case u'\f': return "\\f";
    case u'\n': return "\\n";
    case u'\r': return "\\r";
    case u'\t': return "\\t";
    default: return nullptr;
  }
}

bool needsAttention(char16_t c) {
  return c >= 0x80 || c == u'"' || c == u'\\' || c == u'/' || c == u'\b' || c == u'\f' ||
         c == u'\n' || c == u'\r' || c == u'\t';
}

// Bytes of UTF-8 text that the writer escapes; all are ASCII.
struct EscapedBytes {
  bool table[256] = {};
  constexpr EscapedBytes() {
    for (char c : {'"', '\\', '/', '\b', '\f', '\n', '\r', '\t'}) table[static_cast<unsigned char>(c)] = true;
  }
  constexpr bool operator[](unsigned char c) const { return table[c]; }
};
constexpr EscapedBytes kEscapedByte;

// For every byte: the two bytes to store and how far to move.
struct Utf8Escapes {
  struct Entry {
    char bytes[2];
    uint8_t width;
  };
  Entry entry[256];
  constexpr Utf8Escapes() : entry() {
    for (int b = 0; b < 256; ++b) {
      char c = static_cast<char>(b);
      entry[b] = {{c, 0}, 1};
    }
    const char pairs[][2] = {{'"', '"'}, {'\\', '\\'}, {'/', '/'}, {'\b', 'b'},
                             {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}};
    for (const auto& pair : pairs) entry[static_cast<unsigned char>(pair[0])] = {{'\\', pair[1]}, 2};
  }
};
constexpr Utf8Escapes kUtf8Escapes;

class WideWriter {
 public:
  WideWriter(bool pretty, bool escapeNonAscii) : pretty_(pretty), escapeNonAscii_(escapeNonAscii) {}

  void write(const JsonValue& value, int level) {
    switch (value.type()) {
      case JsonType::Null: out_ += u"null"; break;
      case JsonType::Bool: out_ += value.asBool() ? u"true" : u"false"; break;
      case JsonType::Number: {
        char buffer[40];
        size_t n = formatNumber(value.asNumber(), buffer, sizeof buffer);
        out_.append(buffer, buffer + n);
        break;
      }
      case JsonType::String: writeString(value.asString()); break;
      case JsonType::Array: {
        out_ += u'[';
        open(level + 1);
        bool first = true;
        for (const auto& element : value.asArray()) {
          if (!first) out_ += u',';
          first = false;
          write(*element, level + 1);
        }
        close(level);
        out_ += u']';
        break;
      }
      case JsonType::Object: {
        out_ += u'{';
        open(level + 1);
        bool first = true;
        for (const auto& [key, member] : value.asObject()) {
          if (!first) out_ += u',';
          first = false;
          writeString(key);
          out_ += u':';
          write(*member, level + 1);
        }
        close(level);
        out_ += u'}';
        break;
      }
    }
  }

  std::u16string take() { return std::move(out_); }

 private:
  void open(int level) {
    if (!pretty_) return;
    out_ += u'\n';
    out_.append(static_cast<size_t>(level) * 2, u' ');
  }
  void close(int level) { open(level); }

  void writeString(const std::u16string& text) {
    out_ += u'"';
    for (char16_t c : text) {
      if (const char* escape = shortEscape(c)) {
        out_.append(escape, escape + 2);
      } else if (escapeNonAscii_ && (c < 0x20 || c >= 0x7F)) {
        char buffer[7] = {'\\', 'u', kHex[c >> 12], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15],
                          kHex[c & 15], 0};
        out_.append(buffer, buffer + 6);
      } else {
        out_ += c;
      }
    }
    out_ += u'"';
  }

  std::u16string out_;
  bool pretty_;
  bool escapeNonAscii_;
};

void writeUtf8(const JsonValue& value, std::string* out) {
  switch (value.type()) {
    case JsonType::Null: out->append("null"); break;
    case JsonType::Bool: out->append(value.asBool() ? "true" : "false"); break;
    case JsonType::Number: appendJsonNumber(value.asNumber(), out); break;
    case JsonType::String: appendJsonString(value.asString(), out); break;
    case JsonType::Array: {
      out->push_back('[');
      bool first = true;
      for (const auto& element : value.asArray()) {
        if (!first) out->push_back(',');
        first = false;
        writeUtf8(*element, out);
      }
      out->push_back(']');
      break;
    }
    case JsonType::Object: {
      out->push_back('{');
      bool first = true;
      for (const auto& [key, member] : value.asObject()) {
        if (!first) out->push_back(',');
        first = false;
        appendJsonString(key, out);
        out->push_back(':');
        writeUtf8(*member, out);
      }
      out->push_back('}');
      break;
    }
  }
}

}  // namespace

std::unique_ptr<JsonValue> parseJson(std::u16string_view text) {
  size_t zero = text.find(u'\0');
  if (zero != std::u16string_view::npos) text = text.substr(0, zero);
  if (text.empty()) return nullptr;
  return Parser(text).parseDocument();
}

std::u16string stringify(const JsonValue& value, bool pretty, bool escapeNonAscii) {
  WideWriter writer(pretty, escapeNonAscii);
  writer.write(value, 0);
  return writer.take();
}

void stringifyUtf8(const JsonValue& value, std::string* out) { writeUtf8(value, out); }

void appendJsonString(std::u16string_view text, std::string* out) {
  out->push_back('"');
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    // Plain ASCII runs go in without a second look.
    size_t start = i;
    while (i < n && !needsAttention(text[i])) ++i;
    if (i > start) {
      size_t old = out->size();
      out->resize(old + (i - start));
      char* dest = out->data() + old;
      for (size_t k = start; k < i; ++k) *dest++ = static_cast<char>(text[k]);
    }
    if (i >= n) break;
    char16_t c = text[i++];
    if (const char* escape = shortEscape(c)) {
      out->append(escape, 2);
      continue;
    }
    char32_t code = c;
    if (c >= 0xD800 && c <= 0xDBFF && i < n && text[i] >= 0xDC00 && text[i] <= 0xDFFF) {
      code = 0x10000 + ((static_cast<char32_t>(c) - 0xD800) << 10) + (text[i++] - 0xDC00);
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      code = 0xFFFD;  // an unpaired surrogate has no UTF-8 form
    }
    char bytes[4];
    int length;
    if (code < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (code >> 6));
      bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
      length = 2;
    } else if (code < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (code >> 12));
      bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
      length = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (code >> 18));
      bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
      length = 4;
    }
    out->append(bytes, static_cast<size_t>(length));
  }
  out->push_back('"');
}

void appendJsonUtf8String(std::string_view text, std::string* out) {
  // Room for the worst case, then trimmed. Each byte is stored as two bytes
  // and the pointer moves by one, or two for an escape: no branch on the data.
  size_t old = out->size();
  out->resize(old + 2 * text.size() + 3);
  char* dest = out->data() + old;
  *dest++ = '"';
  for (char c : text) {
    const auto& entry = kUtf8Escapes.entry[static_cast<unsigned char>(c)];
    std::memcpy(dest, entry.bytes, 2);
    dest += entry.width;
  }
  *dest++ = '"';
  out->resize(static_cast<size_t>(dest - out->data()));
}

void appendJsonNumber(double value, std::string* out) {
  char buffer[40];
  out->append(buffer, formatNumber(value, buffer, sizeof buffer));
}

}  // namespace lumra

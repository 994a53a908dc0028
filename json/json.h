// The JSON document model over UTF-16 text, the parser for requests and the
// writer for answers. The written text is part of the wire format: escaping,
// number form and member order must not change.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lumra {

/// Kind of a value; the numbers are the model's tags.
enum class JsonType { Null = 0, String = 1, Bool = 2, Number = 3, Array = 4, Object = 5 };

class JsonValue;
/// Elements in text order; each element is owned by the array.
using JsonArray = std::vector<std::unique_ptr<JsonValue>>;
/// Members ordered by UTF-16 code unit; each value is owned by the object.
using JsonObject = std::map<std::u16string, std::unique_ptr<JsonValue>>;

/// A tagged JSON value that owns its whole subtree. Moving is allowed,
/// copying is not.
class JsonValue {
 public:
  /// Null.
  JsonValue() = default;
  explicit JsonValue(std::u16string text) : payload_(std::move(text)) {}
  explicit JsonValue(const char16_t* text) : payload_(std::u16string(text)) {}
  explicit JsonValue(bool value) : payload_(value) {}
  explicit JsonValue(double value) : payload_(value) {}
  /// Takes over the elements (the caller's container is left empty).
  explicit JsonValue(JsonArray&& array) : payload_(std::move(array)) {}
  /// Takes over the members (the caller's container is left empty).
  explicit JsonValue(JsonObject&& object) : payload_(std::move(object)) {}
  JsonValue(JsonValue&&) = default;
  JsonValue& operator=(JsonValue&&) = default;
  JsonValue(const JsonValue&) = delete;
  JsonValue& operator=(const JsonValue&) = delete;

  JsonType type() const { return static_cast<JsonType>(payload_.index()); }
  bool isNull() const { return type() == JsonType::Null; }
  bool isString() const { return type() == JsonType::String; }
  bool isBool() const { return type() == JsonType::Bool; }
  bool isNumber() const { return type() == JsonType::Number; }
  bool isArray() const { return type() == JsonType::Array; }
  bool isObject() const { return type() == JsonType::Object; }

  /// Payload accessors: callers test the kind first (a wrong kind is a
  /// programming error and throws std::bad_variant_access).
  const std::u16string& asString() const { return std::get<std::u16string>(payload_); }
  bool asBool() const { return std::get<bool>(payload_); }
  double asNumber() const { return std::get<double>(payload_); }
  const JsonArray& asArray() const { return std::get<JsonArray>(payload_); }
  JsonArray& asArray() { return std::get<JsonArray>(payload_); }
  const JsonObject& asObject() const { return std::get<JsonObject>(payload_); }
  JsonObject& asObject() { return std::get<JsonObject>(payload_); }

  /// Member `key` of an object, or nullptr (also when this is not an object).
  const JsonValue* find(std::u16string_view key) const;

 private:
  // The alternatives' order gives the tags.
  std::variant<std::monostate, std::u16string, bool, double, JsonArray, JsonObject> payload_;
};

/// Deepest nesting of arrays and objects the parser accepts.
inline constexpr int kJsonMaxDepth = 512;

/// Parses one JSON value from `text`, read up to its first zero code unit.
/// Returns nullptr when that text is not exactly one well-formed value
/// (white space around it allowed), or nests deeper than kJsonMaxDepth.
std::unique_ptr<JsonValue> parseJson(std::u16string_view text);

/// Writes `value` as UTF-16 text. The system uses pretty = false and
/// escapeNonAscii = false: no white space, non-ASCII code units raw.
std::u16string stringify(const JsonValue& value, bool pretty = false, bool escapeNonAscii = false);

/// Compact stringify straight into UTF-8, appended to `out`: the bytes that
/// converting stringify's text would give, except that an unpaired
/// surrogate becomes U+FFFD instead of failing the conversion.
void stringifyUtf8(const JsonValue& value, std::string* out);

/// Appends `text` as a compact JSON string literal in UTF-8 (quotes
/// included), with the escaping of stringify; unpaired surrogates become
/// U+FFFD.
void appendJsonString(std::u16string_view text, std::string* out);

/// Appends valid UTF-8 `text` as a compact JSON string literal: the bytes
/// that writing its UTF-16 form with appendJsonString would give.
void appendJsonUtf8String(std::string_view text, std::string* out);

/// Appends a number in the writer's form (15 significant digits, "null" for
/// NaN and infinities).
void appendJsonNumber(double value, std::string* out);

}  // namespace lumra

#pragma once

// Schema-less JSON as Claude Code sends it (tool inputs and responses). Numbers
// are doubles and objects are unordered: two objects with the same entries are
// equal, and hash alike, whatever order they arrived in.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/wire_coding.hpp"

namespace parley::protocol {

class JSONValue {
 public:
  using Array = std::vector<JSONValue>;
  // Ordered by key (code-point order) so flattening and hashing need no sort.
  using Object = std::map<std::string, JSONValue, std::less<>>;
  struct Null {
    bool operator==(const Null&) const = default;
  };

  enum class Kind { boolean, number, string, array, object, null };

  JSONValue() = default;  // null
  JSONValue(Null) {}
  JSONValue(bool b) : value_(b) {}
  JSONValue(double d) : value_(d) {}
  JSONValue(std::string s) : value_(std::move(s)) {}
  JSONValue(const char* s) : value_(std::string(s)) {}
  JSONValue(Array a) : value_(std::move(a)) {}
  JSONValue(Object o) : value_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(value_.index()); }
  bool isNull() const { return kind() == Kind::null; }

  const std::string* stringValue() const { return std::get_if<std::string>(&value_); }
  std::optional<bool> boolValue() const;
  std::optional<double> numberValue() const;
  const Array* arrayValue() const { return std::get_if<Array>(&value_); }
  const Object* objectValue() const { return std::get_if<Object>(&value_); }

  // The entry under `key` of an object; nullptr for a missing key or a
  // non-object.
  const JSONValue* operator[](std::string_view key) const;
  // The element at `index` of an array; nullptr when out of range or not an
  // array.
  const JSONValue* operator[](std::size_t index) const;
  // The string under `key` of an object, when that entry is a string.
  const std::string* string(std::string_view key) const;

  // Plain text for speech and summaries: strings as themselves, scalars as
  // nothing, arrays and objects (by key order) as their parts' texts joined by
  // single spaces. Empty parts are kept, so neighbouring spaces may appear.
  std::string flattenedText() const;

  static JSONValue fromJson(const json::value& value);
  json::value toJson() const;

  std::size_t hash() const;
  bool operator==(const JSONValue& other) const = default;

 private:
  void appendFlattened(std::string& out) const;

  std::variant<bool, double, std::string, Array, Object, Null> value_{Null{}};
};

inline JSONValue decodeValue(const json::value& v, Tag<JSONValue>) {
  return JSONValue::fromJson(v);
}
inline json::value encodeValue(const JSONValue& v) {
  return v.toJson();
}

}  // namespace parley::protocol

template <>
struct std::hash<parley::protocol::JSONValue> {
  std::size_t operator()(const parley::protocol::JSONValue& v) const { return v.hash(); }
};

#pragma once

// The wire's coding rules, shared by every record the desktop and the phone
// exchange: dates as whole-second UTC strings, enumerations as their exact raw
// strings, optional fields left out when absent and read as absent when null,
// and strict typing of every required field.

#include <array>
#include <boost/json.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace parley::protocol {

namespace json = boost::json;

using Date = std::chrono::system_clock::time_point;

namespace Wire {
inline constexpr std::int64_t version = 1;
}

// Any failure to decode a record from its JSON form. The text names the key
// and the problem, so a log line tells what the peer got wrong.
class DecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "2025-01-31T09:15:00Z"; sub-second parts of `date` are dropped.
std::string formatDate(Date date);

// Accepts exactly the form formatDate writes: no fractional seconds, no offset,
// only the "Z" designator, and a real calendar date that a Date can hold.
std::optional<Date> parseDate(std::string_view text);

// `instant` plus `fraction` (under a second) as a Date, or nothing when a
// Date cannot hold it: it counts nanoseconds in 64 bits, which reach only
// from 1677 to 2262, while the wire's four-digit years go from 0 to 9999.
std::optional<Date> dateAt(std::chrono::sys_seconds instant,
                           std::chrono::nanoseconds fraction = std::chrono::nanoseconds(0));

// Parses one JSON text; malformed JSON becomes a DecodeError.
json::value parseJson(std::string_view text);

// ---- enumerations ---------------------------------------------------------

// Specialised for every wire enumeration: its raw strings in declaration order.
template <class E>
struct EnumNames;

template <class E>
concept WireEnum = std::is_enum_v<E> && requires {
  EnumNames<E>::names;
};

template <WireEnum E>
constexpr std::string_view rawValue(E value) {
  return EnumNames<E>::names[static_cast<std::size_t>(value)];
}

// Exact, case-sensitive match; there is no fallback case.
template <WireEnum E>
std::optional<E> enumFromRaw(std::string_view raw) {
  const auto& names = EnumNames<E>::names;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == raw)
      return static_cast<E>(i);
  }
  return std::nullopt;
}

template <WireEnum E>
constexpr auto allCases() {
  std::array<E, EnumNames<E>::names.size()> cases{};
  for (std::size_t i = 0; i < cases.size(); ++i)
    cases[i] = static_cast<E>(i);
  return cases;
}

// ---- values ---------------------------------------------------------------

// A record type: encodes itself to a JSON object and decodes from a value.
template <class T>
concept WireRecord = requires(const T& t, const json::value& v) {
  { t.toJson() } -> std::same_as<json::object>;
  { T::fromJson(v) } -> std::same_as<T>;
};

template <class T>
struct Tag {};

std::string decodeValue(const json::value& v, Tag<std::string>);
bool decodeValue(const json::value& v, Tag<bool>);
std::int64_t decodeValue(const json::value& v, Tag<std::int64_t>);
std::int32_t decodeValue(const json::value& v, Tag<std::int32_t>);
std::uint64_t decodeValue(const json::value& v, Tag<std::uint64_t>);
double decodeValue(const json::value& v, Tag<double>);
Date decodeValue(const json::value& v, Tag<Date>);

template <WireEnum E>
E decodeValue(const json::value& v, Tag<E>) {
  const json::string* s = v.if_string();
  if (s == nullptr)
    throw DecodeError("expected a string");
  if (auto value = enumFromRaw<E>(std::string_view(*s)))
    return *value;
  throw DecodeError("unknown value \"" + std::string(*s) + "\"");
}

template <WireRecord T>
T decodeValue(const json::value& v, Tag<T>) {
  return T::fromJson(v);
}

template <class T>
std::vector<T> decodeValue(const json::value& v, Tag<std::vector<T>>) {
  const json::array* a = v.if_array();
  if (a == nullptr)
    throw DecodeError("expected an array");
  std::vector<T> out;
  out.reserve(a->size());
  for (std::size_t i = 0; i < a->size(); ++i) {
    try {
      out.push_back(decodeValue((*a)[i], Tag<T>{}));
    } catch (const DecodeError& e) {
      throw DecodeError("[" + std::to_string(i) + "]: " + e.what());
    }
  }
  return out;
}

inline json::value encodeValue(const std::string& s) {
  return json::string(s);
}
inline json::value encodeValue(bool b) {
  return b;
}
inline json::value encodeValue(std::int64_t n) {
  return n;
}
inline json::value encodeValue(std::int32_t n) {
  return static_cast<std::int64_t>(n);
}
inline json::value encodeValue(std::uint64_t n) {
  return n;
}
inline json::value encodeValue(double d) {
  return d;
}
inline json::value encodeValue(Date d) {
  return json::string(formatDate(d));
}
inline json::value encodeValue(const json::value& v) {
  return v;
}

template <WireEnum E>
json::value encodeValue(E e) {
  return json::string(rawValue(e));
}

template <WireRecord T>
json::value encodeValue(const T& record) {
  return record.toJson();
}

template <class T>
json::value encodeValue(const std::vector<T>& items) {
  json::array a;
  a.reserve(items.size());
  for (const T& item : items)
    a.push_back(encodeValue(item));
  return a;
}

// Reads the keys of one JSON object strictly: a required field must be present
// with the right type; an optional one may be missing or null, but a present
// value of the wrong type still fails.
class ObjectReader {
 public:
  // `what` names the record in error texts.
  ObjectReader(const json::value& value, std::string_view what);

  template <class T>
  void get(std::string_view key, T& out) const {
    const json::value* v = object_.if_contains(key);
    if (v == nullptr)
      fail(key, "missing");
    try {
      out = decodeValue(*v, Tag<T>{});
    } catch (const DecodeError& e) {
      fail(key, e.what());
    }
  }

  template <class T>
  void get(std::string_view key, std::optional<T>& out) const {
    const json::value* v = object_.if_contains(key);
    if (v == nullptr || v->is_null()) {
      out.reset();
      return;
    }
    try {
      out = decodeValue(*v, Tag<T>{});
    } catch (const DecodeError& e) {
      fail(key, e.what());
    }
  }

  const json::object& object() const { return object_; }

  [[noreturn]] void fail(std::string_view key, std::string_view problem) const;

 private:
  const json::object& object_;
  std::string_view what_;
};

// Writes keys in call order; absent optionals are left out, never null.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::size_t keys = 0) { object_.reserve(keys); }

  template <class T>
  ObjectWriter& put(std::string_view key, const T& value) {
    object_.emplace(key, encodeValue(value));
    return *this;
  }

  template <class T>
  ObjectWriter& put(std::string_view key, const std::optional<T>& value) {
    if (value)
      object_.emplace(key, encodeValue(*value));
    return *this;
  }

  json::object take() { return std::move(object_); }

 private:
  json::object object_;
};

// A type string that no message of the direction has.
class UnknownMessageType : public DecodeError {
 public:
  explicit UnknownMessageType(std::string type)
      : DecodeError("unknown wire message type: " + type), type_(std::move(type)) {}
  const std::string& type() const { return type_; }

 private:
  std::string type_;
};

namespace detail {
// Picks the alternative of Variant whose kType equals `type`, in alternative
// order, and decodes the payload as it.
template <class Variant, std::size_t I = 0>
Variant decodeByType(std::string_view type, const json::value& payload) {
  if constexpr (I == std::variant_size_v<Variant>) {
    throw UnknownMessageType(std::string(type));
  } else {
    using Alternative = std::variant_alternative_t<I, Variant>;
    if (type == Alternative::kType)
      return Variant(std::in_place_index<I>, Alternative::fromJson(payload));
    return decodeByType<Variant, I + 1>(type, payload);
  }
}
}  // namespace detail

}  // namespace parley::protocol

// Declares the coding members every wire record has; PARLEY_WIRE_FIELDS
// (wire_record.hpp) defines them from the record's field list.
#define PARLEY_WIRE_RECORD(Name)                  \
  static Name fromJson(const json::value& value); \
  json::object toJson() const;                    \
  bool operator==(const Name&) const = default

#pragma once

// Codes a record from the one list of its wire fields. PARLEY_WIRE_FIELDS,
// written once per record next to its coding, names the fields in the order
// the encoder writes them; each key is the member's own name, and the values
// follow the rules of wire_coding.hpp. A member holding a whole message
// travels as two keys, "type" and "payload", the only field whose keys differ
// from its name.

#include <boost/describe/class.hpp>
#include <boost/describe/members.hpp>
#include <boost/mp11/algorithm.hpp>

#include "protocol/hash_combine.hpp"
#include "protocol/wire_coding.hpp"

namespace parley::protocol::detail {

template <class T>
using WireFields = boost::describe::describe_members<T, boost::describe::mod_public>;

// A sum of records that names its case with a type string (ServerMessage,
// ClientMessage).
template <class M>
concept WireMessage = requires(const M& m, std::string_view type, const json::value& payload) {
  { m.type() } -> std::convertible_to<std::string_view>;
  { m.payloadJson() } -> std::same_as<json::object>;
  { M::decode(type, payload) } -> std::same_as<M>;
};

template <class T>
json::object encodeFields(const T& record) {
  ObjectWriter w(boost::mp11::mp_size<WireFields<T>>::value);
  boost::mp11::mp_for_each<WireFields<T>>([&](auto field) {
    const auto& value = record.*field.pointer;
    if constexpr (WireMessage<std::remove_cvref_t<decltype(value)>>) {
      w.put("type", std::string(value.type()));
      w.put("payload", json::value(value.payloadJson()));
    } else {
      w.put(field.name, value);
    }
  });
  return w.take();
}

// Reads "type" and "payload" and decodes the message they carry. An unknown
// type is reported as such even when the payload is also bad, so the receiver
// can tell a newer phone from a broken one.
template <WireMessage M>
M readMessage(const ObjectReader& r) {
  std::string type;
  r.get("type", type);
  const json::value* payload = r.object().if_contains("payload");
  static const json::value missing;
  try {
    return M::decode(type, payload != nullptr ? *payload : missing);
  } catch (const UnknownMessageType&) {
    throw;
  } catch (const DecodeError& e) {
    r.fail("payload", payload != nullptr ? e.what() : "missing");
  }
}

// Builds a T from `args` and fills every described field from `value`, in
// field order, so the first missing or malformed key is the one an error names.
template <class T, class... Args>
T decodeFields(const json::value& value, std::string_view what, Args&&... args) {
  const ObjectReader r(value, what);
  T record{std::forward<Args>(args)...};
  boost::mp11::mp_for_each<WireFields<T>>([&](auto field) {
    auto& target = record.*field.pointer;
    if constexpr (WireMessage<std::remove_cvref_t<decltype(target)>>)
      target = readMessage<std::remove_cvref_t<decltype(target)>>(r);
    else
      r.get(field.name, target);
  });
  return record;
}

template <class T>
std::size_t hashFields(const T& record) {
  std::size_t seed = 0;
  boost::mp11::mp_for_each<WireFields<T>>(
      [&](auto field) { hashInto(seed, record.*field.pointer); });
  return seed;
}

}  // namespace parley::protocol::detail

// Describes a record declared with PARLEY_WIRE_RECORD and defines its coding.
// Nested records are named qualified (Outer::Inner); error texts write the
// name with dots.
#define PARLEY_WIRE_FIELDS(Name, ...)                                    \
  BOOST_DESCRIBE_STRUCT(Name, (), (__VA_ARGS__))                         \
  Name Name::fromJson(const json::value& value) {                        \
    return ::parley::protocol::detail::decodeFields<Name>(value, #Name); \
  }                                                                      \
  json::object Name::toJson() const {                                    \
    return ::parley::protocol::detail::encodeFields(*this);              \
  }

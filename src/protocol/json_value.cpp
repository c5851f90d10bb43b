#include "protocol/json_value.hpp"

#include <functional>

namespace parley::protocol {

std::optional<bool> JSONValue::boolValue() const {
  if (const bool* b = std::get_if<bool>(&value_))
    return *b;
  return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const {
  if (const double* d = std::get_if<double>(&value_))
    return *d;
  return std::nullopt;
}

const JSONValue* JSONValue::operator[](std::string_view key) const {
  const Object* o = objectValue();
  if (o == nullptr)
    return nullptr;
  auto it = o->find(key);
  return it == o->end() ? nullptr : &it->second;
}

const JSONValue* JSONValue::operator[](std::size_t index) const {
  const Array* a = arrayValue();
  if (a == nullptr || index >= a->size())
    return nullptr;
  return &(*a)[index];
}

const std::string* JSONValue::string(std::string_view key) const {
  const JSONValue* v = (*this)[key];
  return v == nullptr ? nullptr : v->stringValue();
}

std::string JSONValue::flattenedText() const {
  std::string out;
  appendFlattened(out);
  return out;
}

void JSONValue::appendFlattened(std::string& out) const {
  if (const std::string* s = stringValue()) {
    out += *s;
  } else if (const Array* a = arrayValue()) {
    for (std::size_t i = 0; i < a->size(); ++i) {
      if (i > 0)
        out += ' ';
      (*a)[i].appendFlattened(out);
    }
  } else if (const Object* o = objectValue()) {
    bool first = true;
    for (const auto& [key, value] : *o) {
      if (!first)
        out += ' ';
      first = false;
      value.appendFlattened(out);
    }
  }
}

JSONValue JSONValue::fromJson(const json::value& value) {
  switch (value.kind()) {
    case json::kind::null:
      return JSONValue();
    case json::kind::bool_:
      return JSONValue(value.get_bool());
    case json::kind::int64:
    case json::kind::uint64:
    case json::kind::double_:
      return JSONValue(value.to_number<double>());
    case json::kind::string:
      return JSONValue(std::string(value.get_string()));
    case json::kind::array: {
      Array a;
      a.reserve(value.get_array().size());
      for (const json::value& element : value.get_array())
        a.push_back(fromJson(element));
      return JSONValue(std::move(a));
    }
    case json::kind::object: {
      Object o;
      // A duplicated key keeps its last value, as JSON parsers commonly do.
      for (const auto& entry : value.get_object())
        o.insert_or_assign(std::string(entry.key()), fromJson(entry.value()));
      return JSONValue(std::move(o));
    }
  }
  throw DecodeError("unrepresentable JSON value");
}

json::value JSONValue::toJson() const {
  switch (kind()) {
    case Kind::boolean:
      return std::get<bool>(value_);
    case Kind::number:
      return std::get<double>(value_);
    case Kind::string:
      return json::string(std::get<std::string>(value_));
    case Kind::array: {
      json::array a;
      for (const JSONValue& element : std::get<Array>(value_))
        a.push_back(element.toJson());
      return a;
    }
    case Kind::object: {
      json::object o;
      for (const auto& [key, value] : std::get<Object>(value_))
        o.emplace(key, value.toJson());
      return o;
    }
    case Kind::null:
      break;
  }
  return nullptr;
}

std::size_t JSONValue::hash() const {
  const std::size_t seed = static_cast<std::size_t>(kind()) * 0x9e3779b97f4a7c15ULL;
  switch (kind()) {
    case Kind::boolean:
      return seed ^ std::hash<bool>{}(std::get<bool>(value_));
    case Kind::number: {
      const double d = std::get<double>(value_);
      // 0.0 and -0.0 compare equal, so they must hash alike.
      return seed ^ std::hash<double>{}(d == 0.0 ? 0.0 : d);
    }
    case Kind::string:
      return seed ^ std::hash<std::string>{}(std::get<std::string>(value_));
    case Kind::array: {
      std::size_t h = seed;
      for (const JSONValue& element : std::get<Array>(value_))
        h = (h ^ element.hash()) * 0x100000001b3ULL;
      return h;
    }
    case Kind::object: {
      // Each entry hashed on its own and combined with exclusive-or, so the
      // result cannot depend on entry order.
      std::size_t h = seed;
      for (const auto& [key, value] : std::get<Object>(value_))
        h ^= std::hash<std::string>{}(key)*31 + value.hash();
      return h;
    }
    case Kind::null:
      break;
  }
  return seed;
}

}  // namespace parley::protocol

#include "claude/settings_json.hpp"

#include <algorithm>
#include <boost/json/serialize.hpp>
#include <charconv>
#include <vector>

namespace parley::claude {

namespace json = boost::json;

namespace {

void appendIndent(std::string& out, int depth) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
}

void appendNumber(std::string& out, double d) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  out += text;
  if (text.find_first_of(".eEn") == std::string_view::npos)
    out += ".0";
}

void appendSorted(std::string& out, const json::value& value, int depth) {
  switch (value.kind()) {
    case json::kind::object: {
      const json::object& object = value.get_object();
      if (object.empty()) {
        out += "{}";
        return;
      }
      std::vector<const json::key_value_pair*> entries;
      for (const auto& entry : object)
        entries.push_back(&entry);
      std::sort(entries.begin(), entries.end(),
                [](const auto* a, const auto* b) { return a->key() < b->key(); });
      out += "{\n";
      for (std::size_t i = 0; i < entries.size(); ++i) {
        appendIndent(out, depth + 1);
        out += json::serialize(json::string_view(entries[i]->key()));
        out += ": ";
        appendSorted(out, entries[i]->value(), depth + 1);
        out += i + 1 < entries.size() ? ",\n" : "\n";
      }
      appendIndent(out, depth);
      out += '}';
      return;
    }
    case json::kind::array: {
      const json::array& array = value.get_array();
      if (array.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      for (std::size_t i = 0; i < array.size(); ++i) {
        appendIndent(out, depth + 1);
        appendSorted(out, array[i], depth + 1);
        out += i + 1 < array.size() ? ",\n" : "\n";
      }
      appendIndent(out, depth);
      out += ']';
      return;
    }
    case json::kind::double_:
      appendNumber(out, value.get_double());
      return;
    default:
      out += json::serialize(value);
      return;
  }
}

}  // namespace

std::string serializeSettings(const json::value& value) {
  std::string out;
  appendSorted(out, value, 0);
  out += '\n';
  return out;
}

}  // namespace parley::claude

#include "claude/settings_json.hpp"

#include <algorithm>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value_stack.hpp>
#include <charconv>
#include <stdexcept>
#include <vector>

namespace parley::claude {

namespace json = boost::json;

namespace {

// A JSON string may hold U+0000, so every parsed string that begins with one
// is tagged too, and nothing parsed can pass for a number.
constexpr std::string_view kNumberTag{"\0n", 2};
constexpr std::string_view kStringTag{"\0s", 2};
constexpr std::size_t kMaxDepth = 1000;

class KeepingHandler {
 public:
  static constexpr std::size_t max_array_size = -1;
  static constexpr std::size_t max_object_size = -1;
  static constexpr std::size_t max_string_size = -1;
  static constexpr std::size_t max_key_size = -1;

  bool on_document_begin(json::error_code&) {
    stack_.reset();
    return true;
  }
  bool on_document_end(json::error_code&) { return true; }
  bool on_object_begin(json::error_code&) { return true; }
  bool on_object_end(std::size_t n, json::error_code&) {
    stack_.push_object(n);
    return true;
  }
  bool on_array_begin(json::error_code&) { return true; }
  bool on_array_end(std::size_t n, json::error_code&) {
    stack_.push_array(n);
    return true;
  }
  bool on_key_part(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_chars(s);
    return true;
  }
  bool on_key(json::string_view s, std::size_t, json::error_code&) {
    stack_.push_key(s);
    return true;
  }
  bool on_string_part(json::string_view s, std::size_t n, json::error_code&) {
    tagIfFirst(s, n);
    stack_.push_chars(s);
    return true;
  }
  bool on_string(json::string_view s, std::size_t n, json::error_code&) {
    tagIfFirst(s, n);
    stack_.push_string(s);
    return true;
  }
  bool on_number_part(json::string_view s, json::error_code&) {
    number_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t, json::string_view s, json::error_code&) { return pushNumber(s); }
  bool on_uint64(std::uint64_t, json::string_view s, json::error_code&) { return pushNumber(s); }
  bool on_double(double, json::string_view s, json::error_code&) { return pushNumber(s); }
  bool on_bool(bool b, json::error_code&) {
    stack_.push_bool(b);
    return true;
  }
  bool on_null(json::error_code&) {
    stack_.push_null();
    return true;
  }
  bool on_comment_part(json::string_view, json::error_code&) { return true; }
  bool on_comment(json::string_view, json::error_code&) { return true; }

  json::value release() { return stack_.release(); }

 private:
  // `n` counts the string's characters so far, this part included.
  void tagIfFirst(json::string_view s, std::size_t n) {
    if (n == s.size() && !s.empty() && s.front() == '\0')
      stack_.push_chars(json::string_view(kStringTag.data(), kStringTag.size()));
  }

  bool pushNumber(json::string_view s) {
    number_.insert(0, kNumberTag);
    number_.append(s.data(), s.size());
    stack_.push_string(number_);
    number_.clear();
    return true;
  }

  json::value_stack stack_;
  std::string number_;
};

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
    case json::kind::string: {
      const std::string_view text(value.get_string());
      if (text.starts_with(kNumberTag))
        out += text.substr(kNumberTag.size());
      else if (text.starts_with(kStringTag))
        out += json::serialize(json::string_view(text.substr(kStringTag.size())));
      else
        out += json::serialize(value);
      return;
    }
    default:
      out += json::serialize(value);
      return;
  }
}

}  // namespace

json::value parseSettings(std::string_view text) {
  json::parse_options options;
  options.max_depth = kMaxDepth;
  json::basic_parser<KeepingHandler> parser(options);
  json::error_code error;
  const std::size_t used = parser.write_some(false, text.data(), text.size(), error);
  if (!error && used != text.size())
    error = json::error::extra_data;
  if (error)
    throw std::runtime_error("invalid JSON: " + error.message());
  return parser.handler().release();
}

std::string serializeSettings(const json::value& value) {
  std::string out;
  appendSorted(out, value, 0);
  out += '\n';
  return out;
}

}  // namespace parley::claude

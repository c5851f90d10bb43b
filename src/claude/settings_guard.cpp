#include "claude/settings_guard.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

std::string describePath(const std::string& parent, std::string_view key) {
  return parent.empty() ? std::string(key) : parent + "." + std::string(key);
}

// Where `merged` no longer holds what `original` held. Install only appends
// groups and rewrites the relay's own command, so anything else missing
// means a value of an unexpected shape would be replaced. A null holds
// nothing worth keeping.
void collectReplaced(const json::value& original, const json::value& merged, const std::string& at,
                     const std::set<std::string>& relayCommands, const std::string& canonical,
                     std::vector<std::string>& out) {
  switch (original.kind()) {
    case json::kind::null:
      return;
    case json::kind::object: {
      const json::object* into = merged.if_object();
      if (into == nullptr) {
        out.push_back(at);
        return;
      }
      for (const auto& [key, value] : original.get_object()) {
        const json::value* counterpart = into->if_contains(key);
        if (counterpart == nullptr) {
          if (!value.is_null())
            out.push_back(describePath(at, key));
        } else {
          collectReplaced(value, *counterpart, describePath(at, key), relayCommands, canonical,
                          out);
        }
      }
      return;
    }
    case json::kind::array: {
      const json::array* into = merged.if_array();
      const json::array& from = original.get_array();
      if (into == nullptr || into->size() < from.size()) {
        out.push_back(at);
        return;
      }
      for (std::size_t i = 0; i < from.size(); ++i)
        collectReplaced(from[i], (*into)[i], at + "[" + std::to_string(i) + "]", relayCommands,
                        canonical, out);
      return;
    }
    case json::kind::string:
      if (merged.is_string() && (merged.get_string() == original.get_string() ||
                                 (relayCommands.contains(std::string(original.get_string())) &&
                                  merged.get_string() == canonical)))
        return;
      out.push_back(at);
      return;
    default:
      if (original != merged)
        out.push_back(at);
      return;
  }
}

void collectCommands(const json::value& value, std::set<std::string>& out) {
  if (const json::object* object = value.if_object()) {
    for (const auto& [key, child] : *object) {
      if (key == "command" && child.is_string())
        out.emplace(child.get_string());
      collectCommands(child, out);
    }
  } else if (const json::array* array = value.if_array()) {
    for (const json::value& child : *array)
      collectCommands(child, out);
  }
}

}  // namespace

std::set<std::string> handlerCommandsIn(const json::object& document) {
  std::set<std::string> out;
  if (const json::value* hooks = document.if_contains("hooks"))
    collectCommands(*hooks, out);
  return out;
}

std::vector<std::string> droppedCommands(const std::set<std::string>& before,
                                         const std::set<std::string>& after,
                                         const std::set<std::string>& relay) {
  std::vector<std::string> missing;
  for (const std::string& command : before) {
    if (!after.contains(command) && !relay.contains(command))
      missing.push_back(command);
  }
  return missing;
}

std::vector<std::string> replacedValues(const json::value& original, const json::value& merged,
                                        const std::set<std::string>& relayCommands,
                                        const std::string& canonical) {
  std::vector<std::string> out;
  collectReplaced(original, merged, "", relayCommands, canonical, out);
  return out;
}

}  // namespace parley::claude

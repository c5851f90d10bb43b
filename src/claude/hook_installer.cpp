#include "claude/hook_installer.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <ctime>

#include "base/files.hpp"
#include "base/paths.hpp"
#include "claude/settings_guard.hpp"
#include "claude/settings_json.hpp"

namespace parley::claude {

namespace json = boost::json;

namespace {

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) {
    if (!out.empty())
      out += ", ";
    out += item;
  }
  return out;
}

// Characters a POSIX shell takes literally in an unquoted word.
bool isPlainShellCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("/._-+,:@%=").find(c) != std::string_view::npos;
}

// Inside double quotes a shell still expands these.
bool isSpecialInDoubleQuotes(char c) {
  return c == '"' || c == '$' || c == '`' || c == '\\';
}

const json::array* arrayOfObjects(const json::value* value) {
  if (value == nullptr || !value->is_array())
    return nullptr;
  const json::array& array = value->get_array();
  for (const json::value& element : array) {
    if (!element.is_object())
      return nullptr;
  }
  return &array;
}

bool isRelayHandler(const json::value& handler, const std::set<std::string>& relayCommands) {
  const json::object* object = handler.if_object();
  const json::value* command = object ? object->if_contains("command") : nullptr;
  return command != nullptr && command->is_string() &&
         relayCommands.contains(std::string(command->get_string()));
}

}  // namespace

// ---- errors -----------------------------------------------------------------

using InstallError = HookInstaller::InstallError;

InstallError InstallError::unreadable(const std::string& underlying) {
  return InstallError(Kind::unreadable, "could not read settings.json: " + underlying);
}

InstallError InstallError::wouldDropHandlers(std::vector<std::string> commands) {
  std::sort(commands.begin(), commands.end());
  InstallError e(Kind::wouldDropHandlers,
                 "refusing to write: merge would drop existing handlers: " + joined(commands));
  e.lost_ = std::move(commands);
  return e;
}

InstallError InstallError::wouldReplaceSettings(std::vector<std::string> keys) {
  std::sort(keys.begin(), keys.end());
  InstallError e(Kind::wouldReplaceSettings,
                 "refusing to write: merge would replace existing settings: " + joined(keys));
  e.lost_ = std::move(keys);
  return e;
}

InstallError InstallError::backupFailed(const std::string& underlying) {
  return InstallError(Kind::backupFailed, "could not write backup: " + underlying);
}

InstallError InstallError::writeFailed(const std::string& underlying) {
  return InstallError(Kind::writeFailed, "could not write settings.json: " + underlying);
}

InstallError InstallError::notAnObject() {
  return InstallError(Kind::notAnObject, "settings.json is not a JSON object");
}

InstallError InstallError::mergedDocumentInvalid() {
  return InstallError(Kind::mergedDocumentInvalid,
                      "merged settings.json failed to re-parse \xE2\x80\x94 not written");
}

// ---- installer --------------------------------------------------------------

namespace {

struct Loaded {
  std::optional<std::string> bytes;  // absent when there is no file
  json::object document;
};

Loaded load(const std::filesystem::path& settingsPath) {
  Loaded loaded;
  try {
    loaded.bytes = base::readFileIfExists(settingsPath);
  } catch (const std::exception& e) {
    throw InstallError::unreadable(e.what());
  }
  if (!loaded.bytes)
    return loaded;
  json::value value;
  try {
    value = parseSettings(*loaded.bytes);
  } catch (const std::exception&) {
    throw InstallError::unreadable("invalid JSON");
  }
  if (!value.is_object())
    throw InstallError::notAnObject();
  loaded.document = std::move(value.get_object());
  return loaded;
}

// The document as it will read back after writing; throws when it does not.
json::object reparse(const std::string& bytes) {
  json::value value;
  try {
    value = parseSettings(bytes);
  } catch (const std::exception&) {
    throw InstallError::mergedDocumentInvalid();
  }
  if (!value.is_object())
    throw InstallError::mergedDocumentInvalid();
  return std::move(value.get_object());
}

std::string timestamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
  return buffer;
}

}  // namespace

std::filesystem::path HookInstaller::defaultSettingsPath() {
  return base::homeDirectory() / ".claude" / "settings.json";
}

std::filesystem::path HookInstaller::defaultRelayPath() {
  return base::dataDirectory() / "parley-hook";
}

HookInstaller::HookInstaller(std::string relayPath, std::filesystem::path settingsPath,
                             std::vector<std::string> otherRelayPaths)
    : settingsPath_(std::move(settingsPath)),
      relayPath_(std::move(relayPath)),
      otherRelayPaths_(std::move(otherRelayPaths)) {}

namespace {

std::string shellCommandFor(const std::string& path) {
  if (!path.empty() && std::all_of(path.begin(), path.end(), isPlainShellCharacter))
    return path;
  if (std::none_of(path.begin(), path.end(), isSpecialInDoubleQuotes))
    return "\"" + path + "\"";
  // Single quotes protect everything but a single quote, which is closed,
  // escaped and reopened.
  std::string quoted = "'";
  for (const char c : path) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::string HookInstaller::canonicalCommand() const {
  return shellCommandFor(relayPath_);
}

std::set<std::string> HookInstaller::relayCommands() const {
  std::set<std::string> commands;
  const auto add = [&commands](const std::string& path) {
    commands.insert({path, "\"" + path + "\"", shellCommandFor(path)});
  };
  add(relayPath_);
  for (const std::string& path : otherRelayPaths_)
    add(path);
  return commands;
}

std::set<std::string> HookInstaller::handlerCommands(const json::value& document) {
  if (const json::object* object = document.if_object())
    return handlerCommandsIn(*object);
  return {};
}

bool HookInstaller::runsRelay(const json::value& group) const {
  const json::object* object = group.if_object();
  if (object == nullptr)
    return false;
  const json::value* handlers = object->if_contains("hooks");
  if (handlers == nullptr || !handlers->is_array())
    return false;
  const std::set<std::string> relay = relayCommands();
  const json::array& list = handlers->get_array();
  return std::any_of(list.begin(), list.end(),
                     [&](const json::value& handler) { return isRelayHandler(handler, relay); });
}

HookInstaller::Report HookInstaller::install() const {
  Loaded loaded = load(settingsPath_);
  const json::object& original = loaded.document;
  const std::set<std::string> before = handlerCommandsIn(original);
  const std::set<std::string> relay = relayCommands();
  const std::string canonical = canonicalCommand();

  json::object document = original;
  json::object hooks;
  if (const json::value* existing = document.if_contains("hooks");
      existing && existing->is_object())
    hooks = existing->get_object();

  Report report;
  for (const std::string_view event : events) {
    json::array groups;
    if (const json::array* existing = arrayOfObjects(hooks.if_contains(event)))
      groups = *existing;
    bool changed = false;
    bool present = false;
    for (json::value& group : groups) {
      const json::array* handlers = arrayOfObjects(group.get_object().if_contains("hooks"));
      if (handlers == nullptr)
        continue;
      for (json::value& handler : group.get_object()["hooks"].get_array()) {
        if (!isRelayHandler(handler, relay))
          continue;
        json::value* command = handler.get_object().if_contains("command");
        present = true;
        if (command->get_string() != canonical) {
          *command = canonical;
          changed = true;
        }
      }
    }
    if (changed) {
      hooks[event] = std::move(groups);
      report.eventsAdded.emplace_back(event);
    } else if (present) {
      report.alreadyPresent.emplace_back(event);
    } else {
      groups.push_back(json::object{
          {"hooks",
           json::array{json::object{
               {"type", "command"}, {"command", canonical}, {"async", true}, {"timeout", 2}}}}});
      hooks[event] = std::move(groups);
      report.eventsAdded.emplace_back(event);
    }
  }
  document["hooks"] = std::move(hooks);

  const std::string bytes = serializeSettings(document);
  const json::object merged = reparse(bytes);
  if (auto missing = droppedCommands(before, handlerCommandsIn(merged), relay); !missing.empty())
    throw InstallError::wouldDropHandlers(std::move(missing));
  if (auto replaced = replacedValues(original, merged, relay, canonical); !replaced.empty())
    throw InstallError::wouldReplaceSettings(std::move(replaced));

  report.backupPath = backUp(loaded.bytes);
  write(bytes);
  report.preservedHandlers = before.size();
  return report;
}

HookInstaller::Report HookInstaller::uninstall() const {
  Loaded loaded = load(settingsPath_);
  const std::set<std::string> before = handlerCommandsIn(loaded.document);
  const std::set<std::string> relay = relayCommands();

  json::object document = loaded.document;
  Report report;
  const json::value* existing = document.if_contains("hooks");
  // A "hooks" value of another shape holds no relay group; it stays as it is.
  if (existing == nullptr || existing->is_object()) {
    json::object hooks = existing ? existing->get_object() : json::object();
    std::vector<std::string> emptied;
    for (auto& [key, value] : hooks) {
      if (arrayOfObjects(&value) == nullptr)
        continue;
      json::array kept;
      bool removed = false;
      for (const json::value& group : value.get_array()) {
        if (!runsRelay(group)) {
          kept.push_back(group);
          continue;
        }
        // Only the relay's handlers go; a group that also runs another
        // tool's command keeps it.
        json::object trimmed = group.get_object();
        json::array others;
        for (const json::value& handler : trimmed["hooks"].get_array()) {
          if (!isRelayHandler(handler, relay))
            others.push_back(handler);
        }
        removed = true;
        if (!others.empty()) {
          trimmed["hooks"] = std::move(others);
          kept.push_back(std::move(trimmed));
        }
      }
      if (!removed)
        continue;
      report.eventsRemoved.emplace_back(key);
      if (kept.empty())
        emptied.emplace_back(key);
      else
        value = std::move(kept);
    }
    for (const std::string& key : emptied)
      hooks.erase(key);
    document["hooks"] = std::move(hooks);
  }

  const std::string bytes = serializeSettings(document);
  const json::object merged = reparse(bytes);
  const std::set<std::string> after = handlerCommandsIn(merged);
  if (auto missing = droppedCommands(before, after, relay); !missing.empty())
    throw InstallError::wouldDropHandlers(std::move(missing));

  report.backupPath = backUp(loaded.bytes);
  write(bytes);
  report.preservedHandlers = after.size();
  return report;
}

bool HookInstaller::isInstalled() const {
  return status().eventsWithRelay.size() == events.size();
}

HookInstaller::Status HookInstaller::status() const {
  Status status;
  json::object document;
  try {
    document = load(settingsPath_).document;
  } catch (const InstallError& e) {
    status.problem = e.what();
    return status;
  }
  const json::value* hooks = document.if_contains("hooks");
  if (hooks == nullptr || !hooks->is_object())
    return status;
  for (const std::string_view event : events) {
    const json::value* groups = hooks->get_object().if_contains(event);
    if (groups == nullptr || !groups->is_array())
      continue;
    const json::array& list = groups->get_array();
    if (std::any_of(list.begin(), list.end(), [&](const json::value& g) { return runsRelay(g); }))
      status.eventsWithRelay.emplace_back(event);
  }
  return status;
}

std::optional<std::filesystem::path> HookInstaller::backUp(
    const std::optional<std::string>& bytes) const {
  if (!bytes)
    return std::nullopt;
  // The backup may hold secrets (API keys under "env"), so it is no more
  // readable than the settings file itself.
  mode_t mode = 0600;
  struct stat st;
  if (::stat(settingsPath_.c_str(), &st) == 0)
    mode = st.st_mode & 0777;

  const std::string stem = settingsPath_.filename().string() + ".bak-voice-" + timestamp();
  const std::filesystem::path directory = settingsPath_.parent_path();
  try {
    // Two runs within one second share a timestamp; the earlier backup may
    // be the only copy of the user's original file, so it is kept unless it
    // already holds these very bytes.
    for (int n = 1;; ++n) {
      const auto candidate = directory / (n == 1 ? stem : stem + "-" + std::to_string(n));
      const std::optional<std::string> existing = base::readFileIfExists(candidate);
      if (!existing || *existing == *bytes) {
        base::writeFileAtomically(candidate, *bytes, mode);
        return candidate;
      }
    }
  } catch (const std::exception& e) {
    throw InstallError::backupFailed(e.what());
  }
}

void HookInstaller::write(const std::string& bytes) const {
  // A settings file linked from a dotfiles repository stays a link: the
  // file it points to is replaced, not the link.
  std::filesystem::path target = settingsPath_;
  std::error_code error;
  if (std::filesystem::is_symlink(settingsPath_, error)) {
    auto resolved = std::filesystem::weakly_canonical(settingsPath_, error);
    if (!error)
      target = std::move(resolved);
  }
  try {
    base::createDirectories(target.parent_path(), 0700);
    base::writeFileAtomically(target, bytes, 0600, /*keepMode=*/true);
  } catch (const std::exception& e) {
    throw InstallError::writeFailed(e.what());
  }
}

}  // namespace parley::claude

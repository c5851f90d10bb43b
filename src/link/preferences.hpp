#pragma once

// The application's few user preferences (the server id, whether setup was
// completed), kept as one JSON object in preferences.json under the config
// directory. Every call reads the file anew and every change is a locked
// read-modify-write, so the running application and a `parley` subcommand
// never lose each other's keys.

#include <boost/json.hpp>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace parley::link {

class Preferences {
 public:
  // base::configDirectory()/preferences.json, resolved at the call.
  static std::filesystem::path defaultFile();

  explicit Preferences(std::filesystem::path file = defaultFile());

  const std::filesystem::path& file() const { return file_; }

  // A missing, unreadable or damaged file holds no values.
  std::optional<boost::json::value> value(std::string_view key) const;
  std::optional<std::string> string(std::string_view key) const;
  std::optional<bool> boolean(std::string_view key) const;

  // Changes throw base::FileError when the file cannot be read or written; a
  // damaged file is set aside (renamed) before it is replaced.
  void set(std::string_view key, boost::json::value value) const;
  void remove(std::string_view key) const;
  // The stored value of `key` when `usable` accepts it; otherwise stores
  // make()'s result under the same lock, so two processes agree on one value.
  boost::json::value valueOrInsert(
      std::string_view key, const std::function<boost::json::value()>& make,
      const std::function<bool(const boost::json::value&)>& usable = nullptr) const;

 private:
  boost::json::object load() const;
  // Runs `change` on the current object under the file lock and writes the
  // result when `change` returns true.
  void update(const std::function<bool(boost::json::object&)>& change) const;

  std::filesystem::path file_;
};

}  // namespace parley::link

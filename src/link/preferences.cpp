#include "link/preferences.hpp"

#include "base/files.hpp"
#include "base/paths.hpp"
#include "link/json_file.hpp"

namespace parley::link {

namespace json = boost::json;

std::filesystem::path Preferences::defaultFile() {
  return base::configDirectory() / "preferences.json";
}

Preferences::Preferences(std::filesystem::path file) : file_(std::move(file)) {}

json::object Preferences::load() const {
  try {
    detail::JsonFile file = detail::readJsonFile(file_);
    if (file.value && file.value->is_object())
      return std::move(file.value->as_object());
  } catch (const base::FileError&) {
  }
  return {};
}

std::optional<json::value> Preferences::value(std::string_view key) const {
  const json::object object = load();
  if (const json::value* v = object.if_contains(key))
    return *v;
  return std::nullopt;
}

std::optional<std::string> Preferences::string(std::string_view key) const {
  const auto v = value(key);
  if (v && v->is_string())
    return std::string(v->as_string());
  return std::nullopt;
}

std::optional<bool> Preferences::boolean(std::string_view key) const {
  const auto v = value(key);
  if (v && v->is_bool())
    return v->as_bool();
  return std::nullopt;
}

void Preferences::update(const std::function<bool(json::object&)>& change) const {
  base::createDirectories(file_.parent_path(), 0700);
  const base::FileLock lock(file_);
  detail::JsonFile file = detail::readJsonFile(file_);
  // Valid JSON that is not an object is as unusable as a parse failure.
  const bool damaged = file.damaged || (file.value && !file.value->is_object());
  json::object object;
  if (file.value && file.value->is_object())
    object = std::move(file.value->as_object());
  if (!change(object))
    return;
  if (damaged)
    detail::setAside(file_);
  detail::writeJsonFile(file_, json::serialize(object));
}

void Preferences::set(std::string_view key, json::value value) const {
  update([&](json::object& object) {
    object[key] = std::move(value);
    return true;
  });
}

void Preferences::remove(std::string_view key) const {
  update([&](json::object& object) { return object.erase(key) > 0; });
}

json::value Preferences::valueOrInsert(
    std::string_view key, const std::function<json::value()>& make,
    const std::function<bool(const json::value&)>& usable) const {
  json::value result;
  update([&](json::object& object) {
    const json::value* existing = object.if_contains(key);
    if (existing != nullptr && (!usable || usable(*existing))) {
      result = *existing;
      return false;
    }
    result = make();
    object[key] = result;
    return true;
  });
  return result;
}

}  // namespace parley::link

#include "link/json_file.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "base/files.hpp"

namespace parley::link::detail {

JsonFile readJsonFile(const std::filesystem::path& path) {
  const std::optional<std::string> text = base::readFileIfExists(path);
  if (!text || text->empty())
    return {};
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(*text, ec);
  if (ec)
    return JsonFile{.damaged = true};
  return JsonFile{.value = std::move(value)};
}

std::filesystem::path setAside(const std::filesystem::path& path) {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm utc{};
  ::gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = path.string() + ".corrupt-" + stamp;
  std::filesystem::path target = base;
  for (int n = 1;; ++n) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0)
      break;
    target = base + "-" + std::to_string(n);
  }
  if (std::rename(path.c_str(), target.c_str()) != 0)
    throw base::FileError("rename", path, errno);
  return target;
}

void writeJsonFile(const std::filesystem::path& path, std::string_view text) {
  base::createDirectories(path.parent_path(), 0700);
  base::writeFileAtomically(path, text, 0600);
}

}  // namespace parley::link::detail

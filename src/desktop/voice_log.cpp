#include "desktop/voice_log.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>
#include <mutex>

namespace parley::desktop {

std::shared_ptr<spdlog::logger> voiceLogger(const std::string& category) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  if (auto existing = spdlog::get(category))
    return existing;
  return spdlog::stderr_logger_mt(category);
}

}  // namespace parley::desktop

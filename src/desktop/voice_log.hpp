#pragma once

// One spdlog logger per audio category ("audio.session", "audio.tts", ...),
// writing to stderr, created on first use and shared afterwards.

#include <spdlog/logger.h>
#include <memory>
#include <string>

namespace parley::desktop {

std::shared_ptr<spdlog::logger> voiceLogger(const std::string& category);

}  // namespace parley::desktop

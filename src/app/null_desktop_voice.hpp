#pragma once

// Desktop voice in a build without audio (or a model given none): it cannot
// start and says why, and the application runs every other path unchanged.

#include "desktop/desktop_voice.hpp"

namespace parley::app {

class NullDesktopVoice : public desktop::DesktopVoice {
 public:
  bool start(std::string& error) override {
    error = "desktop voice is not part of this build";
    return false;
  }
  void stop() override {}
  bool isRunning() const override { return false; }
  void speak(const protocol::Narration&) override {}
};

}  // namespace parley::app

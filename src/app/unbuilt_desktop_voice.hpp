#pragma once

// Stands in for desktop voice until speech recognition and synthesis are
// built, so the application runs the whole path without them.

#include "desktop/desktop_voice.hpp"

namespace parley::app {

class UnbuiltDesktopVoice : public desktop::DesktopVoice {
 public:
  bool start(std::string& error) override {
    error = "desktop voice is not built into this version yet";
    return false;
  }
  void stop() override {}
  bool isRunning() const override { return false; }
  void speak(const protocol::Narration&) override {}
};

}  // namespace parley::app

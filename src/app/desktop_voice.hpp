#pragma once

// The application's side of desktop voice: start and stop listening, speak a
// reply, and the three events a voice session reports. Speech recognition
// and synthesis are not built yet; UnbuiltDesktopVoice stands in so the model
// and its tests run the whole path without them.

#include <functional>
#include <string>

#include "protocol/narration.hpp"

namespace parley::app {

class DesktopVoice {
 public:
  virtual ~DesktopVoice() = default;

  // Starts listening. Returns false with `error` set when it cannot.
  virtual bool start(std::string& error) = 0;
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
  virtual void speak(const protocol::Narration& narration) = 0;

  // A finished spoken prompt.
  std::function<void(const std::string& text)> onPrompt;
  // A whole-utterance command: "stop", "resume", "repeatLast", "sendIt",
  // "scratchThat", "yes", "no".
  std::function<void(const std::string& name)> onMetaCommand;
  // Recognition cannot be used, and why.
  std::function<void(const std::string& message)> onAnnouncement;
};

class UnbuiltDesktopVoice : public DesktopVoice {
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

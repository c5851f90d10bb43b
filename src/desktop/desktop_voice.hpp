#pragma once

// The application's side of desktop voice: start and stop listening, speak a
// reply, and the three events a voice session reports.

#include <functional>
#include <optional>
#include <string>

#include "protocol/narration.hpp"

namespace parley::desktop {

class DesktopVoice {
 public:
  virtual ~DesktopVoice() = default;

  // Starts listening. Returns false with `error` set when it cannot.
  virtual bool start(std::string& error) = 0;
  virtual void stop() = 0;
  virtual bool isRunning() const = 0;
  virtual void speak(const protocol::Narration& narration) = 0;

  // What a window showing the session needs, read on the main thread.
  struct Display {
    bool listening = false;
    bool speaking = false;
    float level = 0.0f;  // 0 to 1
    std::string transcript;
    std::optional<std::string> lastError;
  };
  virtual Display display() const { return {}; }

  // A finished spoken prompt.
  std::function<void(const std::string& text)> onPrompt;
  // A whole-utterance command: "stop", "resume", "repeatLast", "sendIt",
  // "scratchThat", "yes", "no".
  std::function<void(const std::string& name)> onMetaCommand;
  // Recognition cannot be used, and why.
  std::function<void(const std::string& message)> onAnnouncement;
  // Recognising what was said failed (listening goes on), and why: the
  // person's words are lost, so they must be told.
  std::function<void(const std::string& message)> onError;
};

}  // namespace parley::desktop

#pragma once

// The phone messages that follow a session's turn beyond its narration:
// a turn started (by the phone or at the desk), a tool finished (with its
// run time and a reference to its full output), and the permission
// requests, which the tracker scrapes, publishes and follows to their end.
// Runs on the main thread, after each hook's own narration.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "narration/detail_store.hpp"
#include "protocol/hook_payload.hpp"
#include "protocol/server_messages.hpp"
#include "terminal/injected_prompts.hpp"
#include "terminal/permission_tracker.hpp"
#include "terminal/question_book.hpp"
#include "terminal/session_registry.hpp"

namespace parley::app {

class SessionEvents {
 public:
  struct Parts {
    std::shared_ptr<terminal::PermissionTracker> permissions;
    std::shared_ptr<terminal::QuestionBook> questions;
    std::shared_ptr<terminal::InjectedPrompts> injected;
    std::shared_ptr<narration::DetailStore> details;
    std::function<void(protocol::ServerMessage)> publish;
  };

  // At most this many tool starts are remembered for their run time.
  static constexpr std::size_t kMaxRunningTools = 512;

  explicit SessionEvents(Parts parts) : parts_(std::move(parts)) {}

  void onHook(const protocol::HookPayload& payload,
              const std::optional<terminal::RegisteredSession>& session);

  // The request for a dialog on screen: what the hook said of its tool call,
  // or else what the dialog shows; its tier from the tool call and the
  // session's project.
  static protocol::PermissionRequest describe(const terminal::PermissionTracker::Sighting& seen);

  // The activity-log line for a message the tracker publishes, if any.
  static std::optional<std::string> logLine(const protocol::ServerMessage& message);

 private:
  void toolFinished(const protocol::HookPayload& payload);

  Parts parts_;
  std::map<std::string, std::chrono::steady_clock::time_point> toolStarts_;
  // The tool each session last started: a question asks through a dialog
  // of its own, not a permission dialog.
  std::map<std::string, std::string> lastTool_;
};

}  // namespace parley::app

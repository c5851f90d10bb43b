#pragma once

// The hook path: each hook event updates the session registry, then (on the
// main thread) is logged, narrated and published to the phone.
//
// Order comes from the queues it passes through: events are handed to the
// registry's strand in arrival order, and its answers come back to the main
// thread in that same order, so the phone sees each event's session update
// before the next event's narration. One registry call per event applies it
// and returns the whole session list.
//
// A flood of events (thousands a second for sessions Parley has never seen)
// must not pile up a copy of the whole list per event on the way to the main
// thread: only a few lists are in flight at once, and events beyond that owe
// the phone one list, sent once those in flight have arrived. At a person's
// pace every event still sends its own.

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/activity_log.hpp"
#include "narration/speech_projector.hpp"
#include "protocol/hook_payload.hpp"
#include "protocol/server_messages.hpp"
#include "terminal/session_registry.hpp"

namespace parley::app {

class HookPipeline : public std::enable_shared_from_this<HookPipeline> {
 public:
  // Where the pipeline's results go; all called on the main thread.
  struct Outlets {
    std::function<void(LogEntry::Kind, std::string)> log;
    std::function<void(protocol::ServerMessage)> publish;
    // A hook is activity (the computer is kept awake).
    std::function<void()> activity;
    // The turn's final answer, to be spoken on the desktop when it follows
    // that session.
    std::function<void(const protocol::Narration&, const std::string& sessionID)> answer;
    std::function<void()> changed;
    // Every event, after its own narration, with the session it named.
    std::function<void(const protocol::HookPayload&,
                       const std::optional<terminal::RegisteredSession>&)>
        followed;
  };

  HookPipeline(boost::asio::io_context& main, std::shared_ptr<terminal::SessionRegistry> registry,
               std::filesystem::path home, Outlets outlets);

  // From any thread; events are handled in the order of these calls.
  // `receipt` is let go of once the event is finished on the main thread.
  void handle(protocol::HookPayload payload, std::shared_ptr<const void> receipt = nullptr);

  // A turn stopped without a Stop hook (Escape): the session is idle again,
  // as after a Stop that had nothing to say.
  void turnInterrupted(std::string sessionID);

  // A permission prompt is open in some session (main thread).
  bool permissionPending() const { return permissionPending_; }

 private:
  void finish(const protocol::HookPayload& payload, terminal::SessionRegistry::HookApplied applied,
              bool listed);
  void publishList(terminal::SessionRegistry::Sessions all);
  // Asks for the list owed to the phone once no other is in flight.
  void payOwedList();
  void logAndNarrate(const protocol::HookPayload& payload);
  std::string tildePath(const std::string& path) const;

  boost::asio::io_context& main_;
  std::shared_ptr<terminal::SessionRegistry> registry_;
  std::filesystem::path home_;
  Outlets out_;
  narration::SpeechProjector speechProjector_{900};
  bool permissionPending_ = false;
  std::atomic<int> listsInFlight_{0};
  bool listOwed_ = false;  // main thread
  // When a hook last caused a full refresh; touched only on the registry's
  // strand.
  std::shared_ptr<std::chrono::steady_clock::time_point> lastRefresh_ =
      std::make_shared<std::chrono::steady_clock::time_point>();
};

}  // namespace parley::app

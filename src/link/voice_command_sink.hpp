#pragma once

// How the WebSocket server hands phone commands to the session layer. The
// application's command sink implements it; the server holds it weakly.
//
// Every operation is asynchronous in the Asio style: it returns at once,
// runs its work on the sink's own strand, and calls `done` exactly once when
// finished, from any thread. A failure is passed as an exception_ptr whose
// exception's what() is the text the phone is shown. Operations that cannot
// fail have handlers without one.

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/client_messages.hpp"
#include "protocol/server_messages.hpp"
#include "protocol/session.hpp"

namespace parley::link {

class VoiceCommandSink {
 public:
  using Done = std::function<void(std::exception_ptr)>;
  template <class T>
  using Result = std::function<void(std::exception_ptr, T)>;

  virtual ~VoiceCommandSink() = default;

  // The current session descriptors (a full refresh).
  virtual void sessions(std::function<void(std::vector<protocol::SessionDescriptor>)> done) = 0;
  // Types a prompt; `submit` says whether to press Enter. `confidence` is the
  // phone recogniser's, carried for the sink's use.
  virtual void submit(std::string sessionID, std::string text, bool submit,
                      std::optional<double> confidence, Done done) = 0;
  virtual void interrupt(std::string sessionID, Done done) = 0;
  // Answers the permission dialog identified by its nonce.
  virtual void permissionAnswer(std::string requestID, std::string nonce, std::int64_t optionIndex,
                                Done done) = 0;
  // Answers the question on screen, if it still shows `expectedLabel`.
  virtual void questionAnswer(std::string sessionID, std::int64_t optionIndex,
                              std::string expectedLabel, Done done) = 0;
  virtual void sendKey(std::string sessionID, protocol::SendKey::Key key, Done done) = 0;
  virtual void paneSnapshot(std::string sessionID, std::int64_t lines,
                            Result<protocol::PaneSnapshot> done) = 0;
  // The full text behind a truncated tool result.
  virtual void detail(std::string ref, Result<std::string> done) = 0;
  virtual void focus(std::string sessionID, Done done) = 0;
  virtual void setPrefs(protocol::SetPrefs prefs, std::function<void()> done) = 0;
  virtual void termInput(std::string sessionID, std::optional<std::string> text,
                         std::optional<protocol::TermInput::Key> key, Done done) = 0;
  // One frame of the session's terminal, escapes kept.
  virtual void termFrame(std::string sessionID, Result<protocol::TermFrame> done) = 0;
};

}  // namespace parley::link

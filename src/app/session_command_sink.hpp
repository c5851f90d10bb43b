#pragma once

// Where every command about a session ends, from the phone and from desktop
// voice: it checks that the session may be driven and acts on its tmux pane.
//
// The sink is an actor on its own strand of the worker pool. Commands run one
// at a time in arrival order: a prompt injection, with its read-back, holds up
// the next command. Registry lookups are awaited without holding the strand;
// tmux work runs on it (the pool's threads may block, the main thread never
// does).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "link/voice_command_sink.hpp"
#include "terminal/session_registry.hpp"
#include "terminal/tmux_client.hpp"

namespace parley::app {

class SessionCommandSink : public link::VoiceCommandSink,
                           public std::enable_shared_from_this<SessionCommandSink> {
 public:
  // A refusal, with the text the phone and the activity log show.
  class SinkError : public std::runtime_error {
   public:
    enum class Kind {
      unknownSession,
      announceOnly,
      paneGone,
      optionNotFound,
      noDetail,
      noDialog,
      staleNonce
    };
    static SinkError unknownSession(const std::string& id);
    static SinkError announceOnly(const std::string& id);
    static SinkError paneGone(const std::string& pane);
    static SinkError optionNotFound(std::int64_t number);
    static SinkError noDetail(const std::string& ref);
    static SinkError noDialog();
    static SinkError staleNonce();
    Kind kind() const { return kind_; }

   private:
    SinkError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
  };

  struct Options {
    // The prompt injector's read-back window and polling period.
    std::chrono::milliseconds settleTimeout{600};
    std::chrono::milliseconds pollInterval{25};
  };

  // `logLine` is called on the sink's strand; the receiver hops to its own
  // thread.
  SessionCommandSink(boost::asio::any_io_executor workers,
                     std::shared_ptr<terminal::SessionRegistry> registry,
                     std::function<void(const std::string&)> logLine, Options options);

  void sessions(std::function<void(std::vector<protocol::SessionDescriptor>)> done) override;
  void submit(std::string sessionID, std::string text, bool submit,
              std::optional<double> confidence, Done done) override;
  void interrupt(std::string sessionID, Done done) override;
  void permissionAnswer(std::string requestID, std::string nonce, std::int64_t optionIndex,
                        Done done) override;
  void questionAnswer(std::string sessionID, std::int64_t optionIndex, std::string expectedLabel,
                      Done done) override;
  void sendKey(std::string sessionID, protocol::SendKey::Key key, Done done) override;
  void paneSnapshot(std::string sessionID, std::int64_t lines,
                    Result<protocol::PaneSnapshot> done) override;
  void detail(std::string ref, Result<std::string> done) override;
  void focus(std::string sessionID, Done done) override;
  void setPrefs(protocol::SetPrefs prefs, std::function<void()> done) override;
  void termInput(std::string sessionID, std::optional<std::string> text,
                 std::optional<protocol::TermInput::Key> key, Done done) override;
  void termFrame(std::string sessionID, Result<protocol::TermFrame> done) override;

  // The session's label in log lines: its display name, else the last path
  // component of its working directory.
  static std::string label(const protocol::SessionDescriptor& descriptor);
  // tmux key names for the keys a phone may press.
  static std::string tmuxKey(protocol::SendKey::Key key);
  static std::string tmuxKey(protocol::TermInput::Key key);

 private:
  using Job = std::function<boost::asio::awaitable<void>()>;

  // Queues `work` behind every earlier command; `finish` receives its
  // outcome on the strand.
  template <class T>
  void enqueue(std::function<boost::asio::awaitable<T>()> work,
               std::function<void(std::exception_ptr, T)> finish);
  void enqueueDone(std::function<boost::asio::awaitable<void>()> work, Done done);
  boost::asio::awaitable<void> drain();

  boost::asio::awaitable<terminal::RegisteredSession> lookup(const std::string& id);
  boost::asio::awaitable<terminal::RegisteredSession> injectableLookup(const std::string& id);
  terminal::TmuxClient tmuxFor(const protocol::SessionDescriptor& descriptor) const;
  // Width and height of the session's pane, 0 and 0 when it is not listed.
  std::pair<std::int64_t, std::int64_t> paneSize(
      const protocol::SessionDescriptor& descriptor) const;

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  std::shared_ptr<terminal::SessionRegistry> registry_;
  std::function<void(const std::string&)> logLine_;
  Options options_;
  std::string tmuxExecutable_;

  // Touched only on the strand.
  std::deque<Job> queue_;
  bool draining_ = false;
  std::set<std::string> consumedNonces_;
  std::map<std::string, std::string> detailStore_;
};

}  // namespace parley::app

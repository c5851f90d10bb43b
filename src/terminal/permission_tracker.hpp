#pragma once

// Follows the permission dialogs of the sessions: when a hook says one is
// asked, it reads the session's pane until the dialog shows and has it
// published, with the nonce the phone's answer must echo; it then watches
// that pane (only the panes of sessions with a pending request) and the
// hooks until the dialog closes, and tells how it closed (an Escape on it is
// told apart by its InterruptWatcher). One pending request per session; a
// new dialog replaces it.
//
// Its work runs on a strand of the executor it is given (the session
// driver's thread: tmux is never called on the main or WebSocket strand),
// waiting on timers. What the driver asks about a pending request (its
// tier, for the remote-approval lock) is answered at once from any thread.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "protocol/hook_payload.hpp"
#include "protocol/server_messages.hpp"
#include "terminal/dialog_scraper.hpp"
#include "terminal/interrupt_watcher.hpp"
#include "terminal/session_registry.hpp"
#include "terminal/tmux_client.hpp"

namespace parley::terminal {

class PermissionTracker : public std::enable_shared_from_this<PermissionTracker> {
 public:
  // A dialog on screen, with what the hook said about its tool call (when a
  // hook announced it).
  struct Sighting {
    protocol::SessionDescriptor session;
    std::optional<std::string> toolName;
    std::optional<protocol::JSONValue> toolInput;
    DialogScraper::Dialog dialog;
  };

  // The request that is pending in a session.
  struct Pending {
    std::string sessionID;
    std::string requestID;
    // Minted for this appearance of the dialog: the same dialog asked twice
    // gets two nonces, so answering one never stands for the other.
    std::string nonce;
    // What the dialog showed; the screen is compared against it.
    std::string fingerprint;
    // The tool call its hook announced, when one did.
    std::optional<std::string> toolName;
    std::optional<protocol::JSONValue> toolInput;
    protocol::RiskTier tier = protocol::RiskTier::elevated;
    // Set once an answer was pressed through Parley, and by whom.
    std::optional<std::int64_t> choice;
    protocol::PermissionResolved::By choiceBy = protocol::PermissionResolved::By::phone;
  };

  struct Outlets {
    // Builds the request to publish, its request id included; the nonce
    // and options are the dialog's.
    std::function<protocol::PermissionRequest(const Sighting&)> describe;
    // PermissionRequest, PermissionResolved and Interrupted messages.
    std::function<void(protocol::ServerMessage)> publish;
    std::function<void(const std::string&)> log;
  };

  struct Options {
    // Claude Code fires the hook before it draws the dialog; looking again
    // soon keeps the phone's request close behind the screen.
    std::chrono::milliseconds scrapeInterval{25};
    std::chrono::milliseconds scrapeTimeout{3000};
    std::chrono::milliseconds watchInterval{250};
  };

  PermissionTracker(boost::asio::any_io_executor executor, Outlets outlets, Options options);

  // ---- from the hook path (any thread) ----

  // A PermissionRequest hook (with the tool call) or a permission-prompt
  // Notification (without one) for this session. A notification for a
  // session that already has a request, or one on the way, is ignored.
  void requested(protocol::SessionDescriptor session, std::optional<std::string> toolName,
                 std::optional<protocol::JSONValue> toolInput);
  // Any other hook of a session: a finished tool, a new prompt, a turn's
  // end or the session's end closes its pending request. Costs one lock
  // and nothing more for a session without one.
  void hookSeen(const protocol::HookPayload& payload);
  // Looks at the panes of these sessions for a dialog nobody announced (one
  // already open when the application started).
  void sweep(std::vector<RegisteredSession> sessions);
  // After an Escape sent from the phone: tell when the screen shows the
  // turn interrupted. `before` is how often the text was in the pane's
  // history (InterruptWatcher::kHistoryLines) before.
  void watchForInterrupt(protocol::SessionDescriptor session, std::size_t before);

  // Ends the watching and the waiting, so the executor can run dry (any
  // thread).
  void stop();

  // ---- from the session driver (any thread) ----

  std::optional<Pending> pendingFor(const std::string& nonce) const;
  std::optional<Pending> pendingIn(const std::string& sessionID) const;
  bool hasPending(const std::string& sessionID) const;
  // An answer was pressed: the phone's, or one said at the desk.
  void answered(const std::string& nonce, std::int64_t chosenIndex,
                protocol::PermissionResolved::By by = protocol::PermissionResolved::By::phone);

 private:
  struct Attempt {
    std::uint64_t generation = 0;
    bool announcedTool = false;
  };

  void scrapeUntilShown(std::shared_ptr<Sighting> wanted, std::uint64_t generation,
                        std::chrono::steady_clock::time_point deadline);
  void show(Sighting sighting, std::size_t interruptedOnScreen);
  void interrupted(const protocol::SessionDescriptor& session);
  // Under the lock.
  void resolveLocked(const std::string& sessionID, protocol::PermissionResolved::By how,
                     std::vector<protocol::ServerMessage>& out);
  void startWatching();
  void watchTick();
  // A watch tick a scrape interval from now, to confirm a dialog one look
  // missed.
  void lookAgainSoon();
  void flush(std::vector<protocol::ServerMessage> messages);
  std::optional<std::string> capture(const protocol::SessionDescriptor& session) const;

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  Outlets out_;
  Options options_;
  std::string tmuxExecutable_;
  boost::asio::steady_timer watchTimer_;
  bool watching_ = false;  // on the strand
  bool stopped_ = false;   // on the strand
  std::shared_ptr<InterruptWatcher> interrupts_;

  // A pending request and what watching it takes.
  struct Open {
    Pending request;
    protocol::SessionDescriptor pane;
    // How often the turn showed interrupted when the request was published.
    std::size_t interruptedBefore = 0;
    // The last look did not find its dialog.
    bool goneOnce = false;
  };
  mutable std::mutex mutex_;
  std::map<std::string, Open> open_;         // by session id
  std::map<std::string, Attempt> attempts_;  // on the strand
};

}  // namespace parley::terminal

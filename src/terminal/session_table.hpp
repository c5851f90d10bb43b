#pragma once

// The state behind the session registry and the algorithms that keep it:
// which Claude Code sessions exist, which tmux pane each lives in and what
// each is doing, from a full refresh (process table + session files + tmux
// pane lists) and from each hook event. Not thread-safe: SessionRegistry is
// the actor that owns one.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/hook_payload.hpp"
#include "protocol/session.hpp"
#include "terminal/claude_process_scanner.hpp"
#include "terminal/claude_session_store.hpp"
#include "terminal/tmux_client.hpp"
#include "terminal/transcript_locator.hpp"

namespace parley::terminal {

// A descriptor plus whether its Claude Code version is one we can drive.
struct RegisteredSession {
  protocol::SessionDescriptor descriptor;
  bool isVersionSupported = false;

  const std::string& id() const { return descriptor.sessionID; }
  // Claude Code asks no permission questions in this mode.
  bool isUnsafeForVoice() const;
  // Narrated, but nothing may be typed into it.
  bool announceOnly() const { return !isVersionSupported || isUnsafeForVoice(); }
  bool mayInject() const { return !announceOnly(); }
  // Writes the reason announceOnly() holds (or none) into the descriptor,
  // where the phone and the panel read it; the table does after each change.
  void stampAnnounceOnly();

  bool operator==(const RegisteredSession&) const = default;
  std::size_t hash() const;
};

// The panes of one tmux server, by its socket path; empty when it cannot be
// listed.
using PaneLister = std::function<std::vector<TmuxClient::PaneInfo>(const std::string& socketPath)>;
// The permission mode a pane's footer shows, or nothing.
using ModeReader = std::function<std::optional<protocol::PermissionMode>(
    const std::string& socketPath, const std::string& paneID)>;

// The readers a registry reconciles.
struct SessionSources {
  ClaudeSessionStore store;
  TranscriptLocator locator;
  ClaudeProcessScanner scanner;
  PaneLister paneLister;
  // Shift+Tab at the keyboard sends no hook: a sweep reads the footer.
  ModeReader modeReader;

  // ~/.claude under `home`, the process table under `procRoot`, and the
  // default pane lister.
  static SessionSources forHome(const std::filesystem::path& home,
                                const std::filesystem::path& procRoot = "/proc");
  // `tmux list-panes` through TmuxClient::resolveExecutable(); any failure
  // (no server on the socket, tmux missing) gives no panes.
  static PaneLister defaultPaneLister();
  // A capture of the pane, read by ModeFooter; any failure reads nothing.
  static ModeReader defaultModeReader();
};

class SessionTable {
 public:
  using Date = protocol::Date;

  struct Limits {
    // A session that no sweep finds alive is forgotten once its last event
    // is older than this, so hooks naming sessions that never existed cost
    // nothing for long.
    std::chrono::seconds unconfirmedLifetime{600};
    // At most this many sessions known from hooks alone; past it the one
    // with the oldest event goes.
    std::size_t maxUnconfirmed = 256;
  };

  explicit SessionTable(SessionSources sources);
  SessionTable(SessionSources sources, Limits limits);

  // Sorted by session id.
  std::vector<RegisteredSession> all() const;
  std::optional<RegisteredSession> session(std::string_view id) const;
  // Some session bound to this pane id (the one with the smallest session id
  // when several are).
  std::optional<RegisteredSession> sessionForPane(std::string_view paneID) const;
  // Nothing (and no change) when the hook carries no session id.
  std::optional<RegisteredSession> apply(const protocol::HookPayload& hook, Date now);
  // The full refresh; returns all() afterwards. Sessions it does not find
  // alive and whose last event is older than the limit are forgotten; one
  // that only hooks have named, in a pane whose Claude Code has not written
  // its session file yet, is left as it is.
  std::vector<RegisteredSession> sweep(Date now);
  // Forgets ended sessions; pane bindings stay.
  void prune();
  void insert(RegisteredSession registered);

  // The pane last known for each session id, remembered even when a later
  // process scan cannot tell it.
  const std::map<std::string, std::string, std::less<>>& paneBindings() const {
    return paneBindings_;
  }

 private:
  // A session as a session file shows it, over what the table knew of it.
  RegisteredSession refreshed(const ClaudeSessionFile& file, std::string socket, std::string paneID,
                              const TmuxClient::PaneInfo* pane, Date now) const;
  // A tmux server's socket and one of its panes.
  using PaneKey = std::pair<std::string, std::string>;
  // Marks the sessions a refresh did not find as ended, but for those just
  // starting in `startingPanes`; forgets old ones.
  void endUnseen(const std::set<std::string, std::less<>>& seen,
                 const std::set<PaneKey>& startingPanes, Date now);
  void forget(std::string_view id);
  void dropOldestUnconfirmed();

  SessionSources sources_;

  Limits limits_;
  std::map<std::string, RegisteredSession, std::less<>> sessions_;
  // The sessions the last sweep found alive.
  std::set<std::string, std::less<>> confirmed_;
  std::map<std::string, std::string, std::less<>> paneBindings_;
};

}  // namespace parley::terminal

template <>
struct std::hash<parley::terminal::RegisteredSession> {
  std::size_t operator()(const parley::terminal::RegisteredSession& r) const { return r.hash(); }
};

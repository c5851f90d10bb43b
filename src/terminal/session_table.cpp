#include "terminal/session_table.hpp"

#include <set>

#include "protocol/hash_combine.hpp"
#include "terminal/mode_footer.hpp"
#include "terminal/supported_claude_versions.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

using protocol::HookPayload;
using protocol::SessionDescriptor;
using protocol::SessionState;

// The tmux server's socket: the first non-empty comma-separated piece of a
// TMUX value.
std::optional<std::string> socketOf(const std::optional<std::string>& tmuxEnv) {
  if (!tmuxEnv)
    return std::nullopt;
  for (std::string_view piece : text::split(*tmuxEnv, ",")) {
    if (!piece.empty())
      return std::string(piece);
  }
  return std::nullopt;
}

std::optional<SessionState> stateFor(const HookPayload& hook) {
  switch (hook.hookEventName) {
    case HookPayload::Event::sessionEnd:
      return SessionState::ended;
    case HookPayload::Event::userPromptSubmit:
    case HookPayload::Event::preToolUse:
    case HookPayload::Event::postToolUse:
      return SessionState::busy;
    case HookPayload::Event::permissionRequest:
      return SessionState::waiting;
    case HookPayload::Event::notification:
      if (hook.notificationType == "permission_prompt")
        return SessionState::waiting;
      return std::nullopt;
    case HookPayload::Event::stop:
      return SessionState::idle;
    case HookPayload::Event::sessionStart:
    case HookPayload::Event::postToolUseFailure:
    case HookPayload::Event::preCompact:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<SessionState> stateFor(SessionStatusReading reading) {
  switch (reading) {
    case SessionStatusReading::idle:
      return SessionState::idle;
    case SessionStatusReading::busy:
      return SessionState::busy;
    case SessionStatusReading::waiting:
      return SessionState::waiting;
    case SessionStatusReading::unknown:
      return std::nullopt;
  }
  return std::nullopt;
}

using PaneIndex = std::map<std::string, TmuxClient::PaneInfo, std::less<>>;

}  // namespace

bool RegisteredSession::isUnsafeForVoice() const {
  return protocol::skipsPermissionPrompts(descriptor.permissionMode);
}

void RegisteredSession::stampAnnounceOnly() {
  if (!isVersionSupported)
    descriptor.announceOnly =
        descriptor.claudeVersion
            ? "Claude Code " + *descriptor.claudeVersion + " is a version Parley cannot drive"
            : "Claude Code's version is not known yet";
  else if (isUnsafeForVoice())
    descriptor.announceOnly = "permissions are bypassed here, so Claude Code asks nothing";
  else
    descriptor.announceOnly.reset();
}

std::size_t RegisteredSession::hash() const {
  return protocol::hashAll(descriptor, isVersionSupported);
}

SessionSources SessionSources::forHome(const std::filesystem::path& home,
                                       const std::filesystem::path& procRoot) {
  return SessionSources{ClaudeSessionStore::forHome(home), TranscriptLocator::forHome(home),
                        ClaudeProcessScanner(procRoot), defaultPaneLister(), defaultModeReader()};
}

ModeReader SessionSources::defaultModeReader() {
  return [](const std::string& socketPath,
            const std::string& paneID) -> std::optional<protocol::PermissionMode> {
    try {
      return ModeFooter::read(TmuxClient(TmuxClient::resolveExecutable(), socketPath)
                                  .capture(paneID, std::nullopt, true));
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
}

PaneLister SessionSources::defaultPaneLister() {
  return [](const std::string& socketPath) -> std::vector<TmuxClient::PaneInfo> {
    try {
      return TmuxClient(TmuxClient::resolveExecutable(), socketPath).listPanes();
    } catch (const std::exception&) {
      return {};
    }
  };
}

SessionTable::SessionTable(SessionSources sources) : SessionTable(std::move(sources), Limits{}) {}

SessionTable::SessionTable(SessionSources sources, Limits limits)
    : sources_(std::move(sources)), limits_(limits) {}

std::vector<RegisteredSession> SessionTable::all() const {
  std::vector<RegisteredSession> out;
  out.reserve(sessions_.size());
  for (const auto& [id, registered] : sessions_)
    out.push_back(registered);
  return out;
}

std::optional<RegisteredSession> SessionTable::session(std::string_view id) const {
  const auto it = sessions_.find(id);
  if (it == sessions_.end())
    return std::nullopt;
  return it->second;
}

std::optional<RegisteredSession> SessionTable::sessionForPane(std::string_view paneID) const {
  for (const auto& [id, registered] : sessions_) {
    if (registered.descriptor.paneID == paneID)
      return registered;
  }
  return std::nullopt;
}

std::optional<RegisteredSession> SessionTable::apply(const HookPayload& hook, Date now) {
  // An empty id names no session either; it would only create a phantom.
  if (!hook.sessionID || hook.sessionID->empty())
    return std::nullopt;
  const std::string& id = *hook.sessionID;
  if (hook.tmuxPane)
    paneBindings_[id] = *hook.tmuxPane;
  const std::optional<std::string> socket = hook.tmuxSocketPath();
  const std::optional<SessionState> derived = stateFor(hook);

  if (auto it = sessions_.find(id); it != sessions_.end()) {
    SessionDescriptor& d = it->second.descriptor;
    if (hook.tmuxPane)
      d.paneID = *hook.tmuxPane;
    if (socket)
      d.socketPath = *socket;
    if (hook.cwd)
      d.cwd = *hook.cwd;
    if (hook.permissionMode)
      d.permissionMode = *hook.permissionMode;
    if (hook.transcriptPath)
      d.transcriptPath = hook.transcriptPath;
    if (derived)
      d.state = *derived;
    d.lastActivity = now;
    it->second.stampAnnounceOnly();
    return it->second;
  }

  SessionDescriptor d;
  d.sessionID = id;
  d.paneID = hook.tmuxPane.value_or("");
  d.socketPath = socket.value_or("");
  d.pid = 0;
  d.cwd = hook.cwd.value_or("");
  d.model = hook.model;
  d.permissionMode = hook.permissionMode.value_or(protocol::PermissionMode::default_);
  d.state = derived.value_or(SessionState::idle);
  d.transcriptPath = hook.transcriptPath;
  d.lastActivity = now;
  // Announce-only until a refresh has read the session file and its version.
  RegisteredSession registered{std::move(d), false};
  registered.stampAnnounceOnly();
  sessions_.emplace(id, registered);
  dropOldestUnconfirmed();
  return registered;
}

void SessionTable::forget(std::string_view id) {
  if (auto it = sessions_.find(id); it != sessions_.end())
    sessions_.erase(it);
  if (auto it = paneBindings_.find(id); it != paneBindings_.end())
    paneBindings_.erase(it);
}

// Hooks can name any number of sessions; only a sweep can vouch for one.
void SessionTable::dropOldestUnconfirmed() {
  for (;;) {
    std::size_t unconfirmed = 0;
    const RegisteredSession* oldest = nullptr;
    for (const auto& [id, registered] : sessions_) {
      if (confirmed_.contains(id))
        continue;
      ++unconfirmed;
      if (oldest == nullptr || registered.descriptor.lastActivity < oldest->descriptor.lastActivity)
        oldest = &registered;
    }
    if (unconfirmed <= limits_.maxUnconfirmed || oldest == nullptr)
      return;
    forget(std::string(oldest->id()));
  }
}

// ---- the full refresh, step by step ---------------------------------------------------

namespace {

// The Claude Code processes found in tmux, by pid, with a look-up by pid for
// one the scan missed.
class ProcessIndex {
 public:
  explicit ProcessIndex(const ClaudeProcessScanner& scanner)
      : scanner_(scanner), processes_(scanner.scan()) {
    for (const auto& p : processes_)
      byPid_.emplace(p.pid, &p);
  }
  const std::vector<ClaudeProcessScanner::Process>& all() const { return processes_; }
  // Nothing when it is not inside tmux, or gone meanwhile.
  std::optional<ClaudeProcessScanner::Process> find(std::int32_t pid) const {
    if (auto it = byPid_.find(pid); it != byPid_.end())
      return *it->second;
    return scanner_.process(pid);
  }

 private:
  const ClaudeProcessScanner& scanner_;
  std::vector<ClaudeProcessScanner::Process> processes_;
  std::map<std::int32_t, const ClaudeProcessScanner::Process*> byPid_;
};

// The panes of each tmux server, each listed once per refresh; a server
// whose listing fails has none.
class PaneDirectory {
 public:
  explicit PaneDirectory(const PaneLister& lister) : lister_(lister) {}
  const PaneIndex& of(const std::string& socket) {
    if (auto it = bySocket_.find(socket); it != bySocket_.end())
      return it->second;
    PaneIndex index;
    std::vector<TmuxClient::PaneInfo> panes;
    try {
      panes = lister_(socket);
    } catch (const std::exception&) {
    }
    for (auto& pane : panes) {
      std::string paneID = pane.paneID;
      index.insert_or_assign(std::move(paneID), std::move(pane));
    }
    return bySocket_.emplace(socket, std::move(index)).first->second;
  }
  const TmuxClient::PaneInfo* pane(const std::string& socket, const std::string& paneID) {
    if (socket.empty())
      return nullptr;
    const PaneIndex& panes = of(socket);
    const auto it = panes.find(paneID);
    return it == panes.end() ? nullptr : &it->second;
  }

 private:
  const PaneLister& lister_;
  std::map<std::string, PaneIndex, std::less<>> bySocket_;
};

}  // namespace

RegisteredSession SessionTable::refreshed(const ClaudeSessionFile& file, std::string socket,
                                          std::string paneID, const TmuxClient::PaneInfo* pane,
                                          Date now) const {
  RegisteredSession registered;
  if (auto it = sessions_.find(file.sessionId); it != sessions_.end()) {
    registered = it->second;
  } else {
    SessionDescriptor& d = registered.descriptor;
    d.sessionID = file.sessionId;
    d.permissionMode = protocol::PermissionMode::default_;
    d.state = SessionState::idle;
  }
  SessionDescriptor& d = registered.descriptor;
  d.paneID = std::move(paneID);
  d.socketPath = std::move(socket);
  if (pane != nullptr)
    d.tmuxSession = pane->sessionName;
  d.pid = file.pid;
  d.cwd = file.cwd;
  if (file.name)
    d.displayName = file.name;
  d.claudeVersion = file.version;
  d.waitingFor = file.waitingFor;
  if (sources_.modeReader && pane != nullptr) {
    if (auto mode = sources_.modeReader(d.socketPath, d.paneID))
      d.permissionMode = *mode;
  }
  if (auto state = stateFor(file.state()))
    d.state = *state;
  if (!d.transcriptPath) {
    if (auto path = sources_.locator.transcript(file.sessionId))
      d.transcriptPath = path->string();
  }
  d.lastActivity = now;
  registered.isVersionSupported = SupportedClaudeVersions::isSupported(file.version);
  registered.stampAnnounceOnly();
  return registered;
}

void SessionTable::endUnseen(const std::set<std::string, std::less<>>& seen,
                             const std::set<PaneKey>& startingPanes, Date now) {
  std::vector<std::string> stale;
  for (auto& [id, registered] : sessions_) {
    if (seen.contains(id))
      continue;
    const SessionDescriptor& d = registered.descriptor;
    if (!confirmed_.contains(id) && d.state != SessionState::ended &&
        startingPanes.contains(PaneKey(d.socketPath, d.paneID)))
      continue;
    registered.descriptor.state = SessionState::ended;
    if (now - registered.descriptor.lastActivity > limits_.unconfirmedLifetime)
      stale.push_back(id);
  }
  for (const std::string& id : stale)
    forget(id);
}

std::vector<RegisteredSession> SessionTable::sweep(Date now) {
  // 1. The Claude Code processes, and the panes of every tmux server they
  //    run on.
  const ProcessIndex processes(sources_.scanner);
  PaneDirectory panes(sources_.paneLister);
  for (const auto& p : processes.all()) {
    if (auto socket = socketOf(p.tmuxEnv))
      panes.of(*socket);
  }

  // 2. Each session file whose process runs in tmux: its pane (the process's
  //    own, else the one last bound to the session), merged into what the
  //    hooks already said.
  std::set<std::string, std::less<>> seen;
  std::set<PaneKey> panesWithFiles;
  for (const ClaudeSessionFile& file : sources_.store.all()) {
    const auto process = processes.find(file.pid);
    if (!process)
      continue;
    std::string socket = socketOf(process->tmuxEnv).value_or("");
    std::string paneID;
    if (process->tmuxPane)
      paneID = *process->tmuxPane;
    else if (auto b = paneBindings_.find(file.sessionId); b != paneBindings_.end())
      paneID = b->second;
    // A process found only by its pid may sit on a server the scan did not
    // name; listing it as well keeps its tmux session name right.
    const TmuxClient::PaneInfo* pane = panes.pane(socket, paneID);
    panesWithFiles.emplace(socket, paneID);
    paneBindings_[file.sessionId] = paneID;
    sessions_.insert_or_assign(file.sessionId,
                               refreshed(file, std::move(socket), paneID, pane, now));
    seen.insert(file.sessionId);
  }

  // 3. What was not found has ended, and is forgotten once old enough; but
  //    Claude Code runs its SessionStart hooks about when it writes its
  //    session file, at times before. A session only its hooks have named,
  //    in a pane whose Claude Code has no file yet, is starting: ended now,
  //    it would stay hidden until the next periodic refresh.
  std::set<PaneKey> startingPanes;
  for (const auto& p : processes.all()) {
    PaneKey key(socketOf(p.tmuxEnv).value_or(""), p.tmuxPane.value_or(""));
    if (key.first.empty() || key.second.empty())
      continue;
    if (!panesWithFiles.contains(key))
      startingPanes.insert(std::move(key));
  }
  endUnseen(seen, startingPanes, now);
  confirmed_ = std::move(seen);
  return all();
}

void SessionTable::prune() {
  std::erase_if(sessions_, [](const auto& entry) {
    return entry.second.descriptor.state == SessionState::ended;
  });
}

void SessionTable::insert(RegisteredSession registered) {
  const std::string id = registered.id();
  paneBindings_[id] = registered.descriptor.paneID;
  registered.stampAnnounceOnly();
  sessions_.insert_or_assign(id, std::move(registered));
}

}  // namespace parley::terminal

#pragma once

// Carries out the commands about sessions, from the phone and from desktop
// voice: it finds the session each command names, checks that the session
// may be driven the way the command needs, and acts on its tmux pane.
//
// Every command declares what its target must be (see Needs), and one
// resolution step finds and checks the target before the command's handler
// runs, the way tmux's commands declare their target and its dispatcher
// finds it once.
//
// The phone and desktop voice are remote channels, with less authority than
// the keyboard; the rule is kept here, below every message that can reach a
// pane. While a decision (a permission or plan dialog, a question, any list
// of numbered choices) is on screen, or a published request is pending,
// nothing reaches that pane but the answer that matches it. Before any key
// that submits the input box, the box is read and what only the keyboard may
// do is refused (see InputPolicy). Every refusal is logged and answered with
// its reason.
//
// The driver is an actor on a strand of the executor it is given; the
// application gives it a thread of its own, so tmux calls never hold up the
// thread pool that runs the phone link. Commands run one at a time in
// arrival order. Waiting (for a paste to show, for Enter to be taken) is a
// timer on the strand, never a sleep. Reading a project's changes types
// nothing and may take as long as its repository makes it: it runs beside
// the queue, on a reader strand of its own, so a large working tree never
// holds up a prompt or an answer.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>

#include "protocol/session_commands.hpp"
#include "terminal/injected_prompts.hpp"
#include "terminal/permission_tracker.hpp"
#include "terminal/project_catalog.hpp"
#include "terminal/question_book.hpp"
#include "terminal/session_launcher.hpp"
#include "terminal/session_registry.hpp"
#include "terminal/tmux_client.hpp"

namespace parley::terminal {

class SessionDriver : public protocol::SessionCommands,
                      public std::enable_shared_from_this<SessionDriver> {
 public:
  // A refusal, with the text the phone and the activity log show.
  class CommandError : public std::runtime_error {
   public:
    enum class Kind {
      unknownSession,
      announceOnly,
      paneGone,
      optionNotFound,
      noDetail,
      noDialog,
      staleNonce,
      keyboardOnly,
      awaitingAnswer,
      noQuestion,
      noInputBox,
      notRemotely,
      noImage,
      unknownProject,
      unknownHistory,
      folderGone,
      untrusted,
      cannotStart,
      cannotSwitch
    };
    static CommandError unknownSession(const std::string& id);
    static CommandError announceOnly(const protocol::SessionDescriptor& d);
    static CommandError paneGone(const std::string& pane);
    static CommandError optionNotFound(std::int64_t number);
    static CommandError noDetail(const std::string& ref);
    static CommandError noDialog();
    static CommandError staleNonce();
    static CommandError keyboardOnly();
    // A decision is on screen: only its answer may reach the pane.
    static CommandError awaitingAnswer(const std::string& label);
    static CommandError noQuestion(const std::string& label);
    static CommandError noInputBox(const std::string& label);
    // What only the keyboard may do: `what` says which and why.
    static CommandError notRemotely(const std::string& what);
    // An image the prompt names is not (or no longer) stored, or too many.
    static CommandError noImage(const std::string& why);
    static CommandError unknownProject(const std::string& id);
    static CommandError unknownHistory(const std::string& id);
    static CommandError folderGone(const std::string& folder);
    // Trusting a folder is the desk's decision.
    static CommandError untrusted(const std::string& folder);
    static CommandError cannotStart(const std::string& why);
    static CommandError cannotSwitch(const std::string& why);
    Kind kind() const { return kind_; }

   private:
    CommandError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
  };

  // What a command's target must be before its handler runs, each level
  // including the ones before it.
  enum class Needs {
    nothing,     // no session (or it finds its own)
    session,     // a registered session: its pane may be read
    injectable,  // one that may be typed into (supported, permissions asked)
    livePane,    // and whose pane still exists
  };

  // Images that go with one prompt, as the phone's composer allows.
  static constexpr std::size_t kMaxImages = 5;

  struct Options {
    // The prompt injector's read-back window and polling period.
    // The read-back ends the moment the box shows the text, so the window only
    // bounds how long a real failure takes to be reported; a desktop busy with
    // a build can take more than a second to redraw Claude Code's box.
    std::chrono::milliseconds settleTimeout{3000};
    std::chrono::milliseconds pollInterval{25};
    // How long a screen showing neither the input box nor a decision is
    // read again, a poll apart, before a command acts on it: Claude Code
    // repaints in place, and tmux may be read between the erase and the
    // paint.
    std::chrono::milliseconds repaintGrace{100};
    // The pending permission requests: only a published one may be
    // answered, its tier locks destructive calls to the keyboard, and it
    // learns which answers were pressed. Without it none may be answered.
    std::shared_ptr<PermissionTracker> permissions;
    // The questions that may be answered; without it none may.
    std::shared_ptr<QuestionBook> questions;
    // Where the prompts the phone submits are noted.
    std::shared_ptr<InjectedPrompts> injected;
    // The full text behind a tool result's detail reference.
    std::function<std::optional<std::string>(const std::string& ref)> detail;
    // The file of an image the phone uploaded, by the id it was given.
    std::function<std::optional<std::filesystem::path>(const std::string& imageID)> imagePath;
    // The projects and past sessions a session may be started from, and
    // where it is opened; without them none is started.
    std::shared_ptr<ProjectCatalog> catalog;
    std::shared_ptr<SessionLauncher> launcher;
    // How long a new session may take to show its input box before its
    // first prompt is typed, and a stopped one to exit.
    std::chrono::milliseconds startTimeout{30000};
    std::chrono::milliseconds stopTimeout{15000};
    // Whether the person allowed the phone, at the desk, to turn on accept
    // edits and auto mode (session-wide grants); without it, never.
    std::function<bool()> phoneMayGrantModes;
    // Told on the driver's strand once a session's mode has been switched
    // or the session stopped, so the session list shows it without waiting
    // for a hook (a stopped session's own end hook dies with its window).
    std::function<void()> listChanged;
    // Told on the driver's strand of each window opened from the phone
    // (its tmux socket and pane), so the desk can tell those sessions apart.
    std::function<void(const std::string& socketPath, const std::string& paneID)> opened;
    // Where repositories are read (it blocks on the file system); the
    // driver's own executor when not given.
    boost::asio::any_io_executor reader;
  };

  // `logLine` is called on the driver's strand; the receiver hops to its own
  // thread.
  SessionDriver(boost::asio::any_io_executor executor, std::shared_ptr<SessionRegistry> registry,
                std::function<void(const std::string&)> logLine, Options options);

  void run(protocol::SessionCommand command, Done done) override;

  // The session's label in log lines: its display name, else the last path
  // component of its working directory.
  static std::string label(const protocol::SessionDescriptor& descriptor);
  // tmux key names for the keys a phone may press.
  static std::string tmuxKey(protocol::SendKey::Key key);
  static std::string tmuxKey(protocol::TermInput::Key key);

 private:
  using Result = boost::asio::awaitable<protocol::CommandResult>;
  struct Pending {
    protocol::SessionCommand command;
    Done done;
  };

  boost::asio::awaitable<void> drain();
  template <class Command>
  Result execute(Command command);
  boost::asio::awaitable<RegisteredSession> resolve(std::string id, Needs needs);

  // One handler per command; those with a target get it resolved.
  Result handle(protocol::SubmitPrompt m, RegisteredSession session);
  Result handle(protocol::Interrupt m, RegisteredSession session);
  Result handle(protocol::PermissionAnswer m);
  Result handle(protocol::QuestionAnswer m, RegisteredSession session);
  Result handle(protocol::SendKey m, RegisteredSession session);
  Result handle(protocol::GetPane m, RegisteredSession session);
  Result handle(protocol::GetDetail m);
  Result handle(protocol::Focus m, RegisteredSession session);
  Result handle(protocol::SetPrefs m);
  Result handle(protocol::TermInput m, RegisteredSession session);
  Result handle(protocol::TermFrameRequest m, RegisteredSession session);
  Result handle(protocol::ListSessions m);
  Result handle(protocol::SpokenPrompt m, RegisteredSession session);
  Result handle(protocol::SpokenAnswer m, RegisteredSession session);
  Result handle(protocol::GetChanges m, RegisteredSession session);
  Result handle(protocol::GetFileDiff m, RegisteredSession session);
  Result handle(protocol::ListProjects m);
  Result handle(protocol::ListHistory m);
  Result handle(protocol::StartSession m);
  Result handle(protocol::ResumeSession m);
  Result handle(protocol::StopSession m, RegisteredSession session);
  Result handle(protocol::SetMode m, RegisteredSession session);
  // Opens Claude Code in the folder once every check has passed, and types
  // the first prompt when there is one. (A coroutine: arguments by value.)
  Result launch(std::filesystem::path folder, std::vector<std::string> arguments,
                std::optional<std::string> prompt, std::optional<std::string> historyID,
                std::vector<protocol::SessionDescriptor> live);
  boost::asio::awaitable<void> typeFirstPrompt(SessionLauncher::Opened opened, std::string name,
                                               std::string prompt);
  boost::asio::awaitable<std::vector<protocol::SessionDescriptor>> liveSessions();
  // Logs the refusal about a folder and throws it.
  [[noreturn]] void refuseIn(const std::string& name, const CommandError& error) const;
  // Types the text into the session's pane; a prompt the phone submits is
  // noted as the phone's.
  // (A coroutine: it takes its arguments by value.)
  Result inject(std::string text, bool submit, bool fromPhone, RegisteredSession session,
                std::vector<std::string> images = {});

  static bool showsDecision(const std::string& screen, bool inputBox);
  // What the pane shows, as far as the lock is concerned.
  struct PaneView {
    std::string screen;
    std::optional<std::string> inputBox;
    bool decision = false;  // a dialog, question or choice list
  };
  PaneView look(const RegisteredSession& session) const;
  // look(), read again for up to Options::repaintGrace while the screen
  // shows neither the input box nor a decision.
  boost::asio::awaitable<PaneView> steadyLook(RegisteredSession session);
  // Throws awaitingAnswer while a decision is on screen or pending.
  void requireNoDecision(const RegisteredSession& session, const PaneView& view) const;
  // Throws when `text` may not be submitted from here.
  void requireSubmittable(const RegisteredSession& session, std::string_view text) const;
  // Logs the refusal and throws it.
  [[noreturn]] void refuse(const protocol::SessionDescriptor& descriptor,
                           const CommandError& error) const;
  // `expected` is what the box will hold once text just typed shows.
  void pressEnter(const RegisteredSession& session, const std::string& expected) const;

  TmuxClient tmuxFor(const protocol::SessionDescriptor& descriptor) const;
  // Presses a dialog's option for whoever answered and notes it.
  void press(const TmuxClient& tmux, const protocol::SessionDescriptor& descriptor,
             const std::string& nonce, const protocol::PermissionOption& option,
             protocol::PermissionResolved::By by);
  // Width and height of the session's pane, 0 and 0 when it is not listed.
  std::pair<std::int64_t, std::int64_t> paneSize(
      const protocol::SessionDescriptor& descriptor) const;
  void log(const std::string& line) const;

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  boost::asio::strand<boost::asio::any_io_executor> reader_;
  std::shared_ptr<SessionRegistry> registry_;
  std::function<void(const std::string&)> logLine_;
  Options options_;
  std::string tmuxExecutable_;

  // Touched only on the strand.
  std::deque<Pending> queue_;
  bool draining_ = false;
  std::set<std::string> consumedNonces_;
  // The window each past session was resumed in, so a second resume opens
  // that one even before Claude Code reports the session.
  std::map<std::string, SessionLauncher::Opened> resumed_;
};

}  // namespace parley::terminal

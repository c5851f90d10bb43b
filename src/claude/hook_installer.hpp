#pragma once

// Registers the relay in Claude Code's user settings for the hook events
// Parley follows, and removes it again. The settings file belongs to the user
// and usually carries other tools' hooks, permissions and environment, so the
// installer only ever appends: it backs the file up first, keeps its
// permission bits, and refuses outright any merge that would lose something
// already there. It holds no state; every call reads the file afresh.

#include <array>
#include <boost/json/value.hpp>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace parley::claude {

class HookInstaller {
 public:
  // The events the relay is registered for, in the order they are processed
  // and reported.
  static constexpr std::array<std::string_view, 9> events{
      "SessionStart", "SessionEnd",  "UserPromptSubmit",
      "PreToolUse",   "PostToolUse", "PermissionRequest",
      "Notification", "Stop",        "PreCompact"};

  struct Report {
    // The pre-change copy of the settings file; absent when there was none.
    std::optional<std::filesystem::path> backupPath;
    // install: events whose list changed (relay group added or its command
    // rewritten). uninstall: empty.
    std::vector<std::string> eventsAdded;
    // install: events that already ran the relay. uninstall: empty.
    std::vector<std::string> alreadyPresent;
    // uninstall: events the relay was removed from. install: empty.
    std::vector<std::string> eventsRemoved;
    // install: distinct handler commands in the file before the merge.
    // uninstall: distinct handler commands left after it.
    std::size_t preservedHandlers = 0;
  };

  class InstallError : public std::runtime_error {
   public:
    enum class Kind {
      unreadable,
      wouldDropHandlers,
      wouldReplaceSettings,
      backupFailed,
      writeFailed,
      notAnObject,
      mergedDocumentInvalid,
    };
    static InstallError unreadable(const std::string& underlying);
    static InstallError wouldDropHandlers(std::vector<std::string> commands);
    static InstallError wouldReplaceSettings(std::vector<std::string> keys);
    static InstallError backupFailed(const std::string& underlying);
    static InstallError writeFailed(const std::string& underlying);
    static InstallError notAnObject();
    static InstallError mergedDocumentInvalid();

    Kind kind() const { return kind_; }
    // The handler commands (wouldDropHandlers) or settings keys
    // (wouldReplaceSettings) that the merge would have lost, sorted.
    const std::vector<std::string>& lost() const { return lost_; }

   private:
    InstallError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
    std::vector<std::string> lost_;
  };

  // What the settings file says now, for status displays.
  struct Status {
    // Why the file could not be read as settings; absent when it could (a
    // missing file reads as empty settings).
    std::optional<std::string> problem;
    // The registered events whose hooks run the relay, in event order.
    std::vector<std::string> eventsWithRelay;
  };

  // ~/.claude/settings.json
  static std::filesystem::path defaultSettingsPath();
  // The relay's installed location: parley-hook in Parley's data directory.
  static std::filesystem::path defaultRelayPath();

  // `otherRelayPaths` are where the relay may also have been registered
  // from (a packaged copy beside the executable, the data directory's copy):
  // install rewrites their entries to `relayPath` instead of adding a second
  // one, uninstall removes them too, and status counts them.
  explicit HookInstaller(std::string relayPath,
                         std::filesystem::path settingsPath = defaultSettingsPath(),
                         std::vector<std::string> otherRelayPaths = {});

  const std::filesystem::path& settingsPath() const { return settingsPath_; }
  const std::string& relayPath() const { return relayPath_; }

  // Each throws InstallError before the settings file is touched.
  Report install() const;
  Report uninstall() const;

  // True only when the file reads as settings and every one of the events
  // has a group that runs the relay.
  bool isInstalled() const;
  Status status() const;

  // The command written into the settings: the relay path, quoted for the
  // shell Claude Code runs it with when it holds anything but plain
  // characters.
  std::string canonicalCommand() const;
  // The commands recognised as running the relay: for its path and each
  // other relay path, the bare path, the path in double quotes, and the
  // canonical command.
  std::set<std::string> relayCommands() const;
  // Every "command" string anywhere under the document's "hooks" value.
  static std::set<std::string> handlerCommands(const boost::json::value& document);

 private:
  std::optional<std::filesystem::path> backUp(const std::optional<std::string>& bytes) const;
  void write(const std::string& bytes) const;
  bool runsRelay(const boost::json::value& group) const;

  std::filesystem::path settingsPath_;
  std::string relayPath_;
  std::vector<std::string> otherRelayPaths_;
};

}  // namespace parley::claude

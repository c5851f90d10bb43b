#pragma once

// Every interaction with a terminal pane goes through the tmux program: one
// child process per call, always against one explicit server socket
// (`tmux -S <socket> ...`), never through a shell and never on the user's
// default server by accident. There is no persistent connection and no
// control mode.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace parley::terminal {

class TmuxClient {
 public:
  // What one tmux run returned. Outputs are UTF-8 (malformed bytes become
  // U+FFFD).
  struct Result {
    std::int32_t status = 0;
    std::string standardOutput;
    std::string standardError;
    bool ok() const { return status == 0; }
  };

  // A tmux command that exited non-zero. The text is
  // "tmux <command words> failed (<status>): <stderr>".
  class Failure : public std::runtime_error {
   public:
    Failure(std::vector<std::string> command, std::int32_t status, std::string standardError);
    const std::vector<std::string>& command() const { return command_; }
    std::int32_t status() const { return status_; }
    const std::string& standardError() const { return standardError_; }

   private:
    std::vector<std::string> command_;
    std::int32_t status_;
    std::string standardError_;
  };

  struct PaneInfo {
    std::string paneID;  // "%3"
    std::string sessionName;
    std::int64_t windowIndex = 0;
    std::int64_t paneIndex = 0;
    std::int32_t pid = 0;  // the pane's first process
    std::string currentPath;
    std::string currentCommand;
    std::string title;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool dead = false;  // the process exited but the pane remains

    bool operator==(const PaneInfo&) const = default;
    std::size_t hash() const;
  };

  // The tmux program: the first executable `tmux` in the directories of
  // `searchPath` (a PATH value; the process's PATH by default), else
  // "/usr/bin/tmux" without checking that it exists. Deterministic for a given
  // PATH and file system.
  static std::string resolveExecutable();
  static std::string resolveExecutable(const std::optional<std::string>& searchPath);

  // One line of `list-panes` output in the format listPanes asks for; nothing
  // when it does not have exactly eleven fields.
  static std::optional<PaneInfo> parsePaneLine(std::string_view line);

  TmuxClient(std::string executable, std::string socketPath);

  const std::string& executable() const { return executable_; }
  const std::string& socketPath() const { return socketPath_; }

  // Runs `tmux -S <socket> arguments...`, feeding `input` on standard input
  // when given. Throws std::system_error when tmux cannot be started; a
  // non-zero status is returned, not thrown.
  Result run(const std::vector<std::string>& arguments,
             const std::optional<std::string>& input = std::nullopt) const;

  // The operations below throw Failure on a non-zero status and
  // std::system_error when tmux cannot be started.

  // Every pane of the server; lines that do not parse are skipped.
  std::vector<PaneInfo> listPanes() const;
  // The visible screen, or `lines` lines of scroll-back more; wrapped lines
  // joined; colour and attribute escapes kept when `escapes` is true.
  std::string capture(const std::string& target, std::optional<int> lines, bool escapes) const;
  // The pane exists and its process is alive. Never throws.
  bool paneExists(const std::string& target) const noexcept;
  // A tmux key name ("Enter", "C-c", "BTab").
  void sendKey(const std::string& key, const std::string& target) const;
  void sendEnter(const std::string& target) const;
  void sendEscape(const std::string& target) const;
  // A single digit key, 1 to 9; std::invalid_argument outside that range
  // (nothing is sent).
  void sendDigit(int n, const std::string& target) const;
  // Text typed as keys, never interpreted as key names ("Enter" types E n t e r).
  void sendLiteral(const std::string& text, const std::string& target) const;
  // The text as one paste (bracketed when the pane's program asked for it)
  // through a named buffer that the paste deletes.
  void pasteText(const std::string& text, const std::string& target) const;

 private:
  void runChecked(const std::vector<std::string>& arguments,
                  const std::optional<std::string>& input = std::nullopt) const;

  std::string executable_;
  std::string socketPath_;
};

}  // namespace parley::terminal

template <>
struct std::hash<parley::terminal::TmuxClient::PaneInfo> {
  std::size_t operator()(const parley::terminal::TmuxClient::PaneInfo& p) const { return p.hash(); }
};

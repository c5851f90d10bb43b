#pragma once

// Types a prompt into a Claude Code session's input box: one bracketed paste,
// then the screen is read back until the box shows that text, and only then
// is Enter pressed. An input box that already holds something is never
// touched: the user's half-typed text survives.
//
// Nothing but the paste and Enter is ever pressed. When no input box is on
// screen a dialog or menu covers it, and the Escape that would uncover it
// could just as well deny a permission dialog or interrupt the turn; the
// prompt is refused instead.

#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/tmux_client.hpp"

namespace parley::terminal {

class PromptInjector {
 public:
  class InjectionError : public std::runtime_error {
   public:
    enum class Kind { paneGone, readBackTimeout, dirtyInputBox, tmux, noInputBox };

    // "pane <id> no longer exists"
    static InjectionError paneGone(const std::string& paneID);
    // "input box never matched after paste.\n  expected: …\n  saw:      …"
    static InjectionError readBackTimeout(const std::string& expected, const std::string& seen);
    // "input box held unexpected content: …"
    static InjectionError dirtyInputBox(const std::string& found);
    // "tmux error: " + the underlying error's text
    static InjectionError tmux(const std::exception& error);
    // "no input box on screen in pane <id>": something else covers the
    // box, and a paste there could act on a menu.
    static InjectionError noInputBox(const std::string& paneID);

    Kind kind() const { return kind_; }
    // The pane id, the text found in the box, or the expected text; and for
    // a read-back timeout the text last seen.
    const std::string& subject() const { return subject_; }
    const std::string& seen() const { return seen_; }

   private:
    InjectionError(Kind kind, const std::string& message, std::string subject, std::string seen);

    Kind kind_;
    std::string subject_;
    std::string seen_;
  };

  // The application uses 3 s and 25 ms.
  explicit PromptInjector(TmuxClient tmux,
                          std::chrono::milliseconds settleTimeout = std::chrono::milliseconds(600),
                          std::chrono::milliseconds pollInterval = std::chrono::milliseconds(25));

  // The text in the session's input box (dim placeholder text dropped), or
  // nothing when no input box is visible. Throws TmuxClient::Failure or
  // std::system_error when the pane cannot be captured.
  std::optional<std::string> currentInput(const std::string& pane) const;

  // Pastes `text` (trimmed, line endings made "\n") into the pane's empty
  // input box and waits for the read-back; presses Enter afterwards when
  // `submit` is true. A text of only white space does nothing
  // at all. Throws InjectionError. The waits are timers on the coroutine's
  // executor: the thread is free while the screen settles.
  //
  // Each of `images` (absolute paths of image files) is pasted first, on its
  // own: Claude Code turns such a paste into "[Image #N]" and sends the file
  // with the prompt. Each must show as one more "[Image #N]" before anything
  // else is pasted; the read-back then expects the images, then the text.
  boost::asio::awaitable<void> injectAsync(std::string text, std::string pane, bool submit,
                                           std::vector<std::string> images = {}) const;

  // injectAsync on a private io_context, blocking the caller until it ends
  // (for tools, benchmarks and tests).
  void inject(const std::string& text, const std::string& pane, bool submit) const;

  // The input box of a captured screen (escapes kept or not): the last line
  // that begins with "❯" and a no-break space, and the lines below it up to
  // the box's lower border. Claude Code draws its box's marker that way; a
  // "❯" with an ordinary space marks a prompt in the conversation above or a
  // dialog's selected option, never the box.
  static std::optional<std::string> inputBox(std::string_view capture);

  // The text as inject() pastes it: trimmed of white space and line breaks,
  // with CR LF and lone CR made LF (tmux turns each LF into one Enter key;
  // a CR LF pair would become two). Every other control character except
  // tab (C0, DEL and C1, so also the ESC that could end the bracketed paste)
  // is replaced by a visible stand-in, and ill-formed UTF-8 by U+FFFD: the
  // text reaches Claude Code as text, never as keys.
  static std::string pasteForm(std::string_view text);

  // Text typed with `tmux send-keys -l`, neutralised as pasteForm() does but
  // with no exception (line feed, tab and CR too) and nothing trimmed: keys
  // such as Enter or Ctrl-C are sent by name, so literal text never needs a
  // control byte, and one there would act as that key.
  static std::string literalForm(std::string_view text);

  // Whether Claude Code 2.1.222 shows this pasted text collapsed, as
  // "[Pasted text #N +K lines]" or "[Pasted text #N]": it does when the text
  // has more than two line feeds or is longer than 800 UTF-16 code units
  // (found by experiment; line feeds count towards the length).
  static bool pasteCollapses(std::string_view pasted);

  // Whether the box content `seen` shows the pasted text `expected`: equal
  // once runs of white space are made single spaces; equal but for white
  // space (the box wraps long words mid-word); cut short with a final "…";
  // or, as the whole content, Claude Code's collapsed form of exactly this
  // paste (K is the number of line feeds; no "+K lines" for a single line).
  static bool readBackMatches(std::string_view expected, std::string_view seen);

  // Whether the box content `seen` is `images` "[Image #N]" markers, then
  // (when not empty) the pasted text `expected` as readBackMatches has it.
  static bool readBackMatches(std::size_t images, std::string_view expected, std::string_view seen);

 private:
  // After Enter: waits (up to the settle time) until the box no longer shows
  // the submitted text.
  boost::asio::awaitable<void> awaitSubmitted(std::size_t images, std::string pasted,
                                              std::string pane) const;
  // Polls the box until it shows `images` markers then `pasted`; throws a
  // read-back timeout naming `expected` when it never does.
  boost::asio::awaitable<void> awaitShown(std::size_t images, const std::string& pasted,
                                          const std::string& pane,
                                          const std::string& expected) const;

  TmuxClient tmux_;
  std::chrono::milliseconds settleTimeout_;
  std::chrono::milliseconds pollInterval_;
};

}  // namespace parley::terminal

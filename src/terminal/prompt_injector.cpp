#include "terminal/prompt_injector.hpp"

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <charconv>
#include <vector>

#include "terminal/ansi_text.hpp"
#include "terminal/screen_lines.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

using text::Regex;

constexpr std::string_view kPromptMarker = "❯";
constexpr std::string_view kBoxMarker = "❯\u00a0";
constexpr std::string_view kEllipsis = "…";

std::string joinedWords(std::string_view s) {
  std::string out;
  for (std::string_view word : text::splitWhitespace(s)) {
    if (!out.empty())
      out += ' ';
    out += word;
  }
  return out;
}

std::string withoutWhitespace(std::string_view s) {
  std::string out;
  for (std::string_view word : text::splitWhitespace(s))
    out += word;
  return out;
}

const Regex& collapsedPastePattern() {
  static const Regex pattern(R"(^\[Pasted text #\d+(?: \+(\d+) lines)?\]$)");
  return pattern;
}

bool isCollapsedFormOf(std::string_view expected, std::string_view seen) {
  const auto m = collapsedPastePattern().firstMatch(seen);
  if (!m || !PromptInjector::pasteCollapses(expected))
    return false;
  const auto lineFeeds =
      static_cast<std::size_t>(std::count(expected.begin(), expected.end(), '\n'));
  const std::string_view extra = m->group(1);
  if (extra.empty())
    return lineFeeds == 0;
  std::size_t shown = 0;
  const auto [end, ec] = std::from_chars(extra.data(), extra.data() + extra.size(), shown);
  return ec == std::errc() && end == extra.data() + extra.size() && shown == lineFeeds;
}

// Control characters are shown, not obeyed: ESC would end tmux's bracketed
// paste (ESC [ 2 0 1 ~) and turn the rest of a prompt into keystrokes, and
// Ctrl-C, Ctrl-D or a lone CR act on Claude Code itself. Each becomes its
// Control Pictures symbol ("␛" for ESC, "␡" for DEL), which the reader of the
// prompt can still see where it stood; the C1 controls, which have no
// symbol, become U+FFFD. Everything else is copied.
void appendNeutralised(std::string& out, char32_t c) {
  if (c < 0x20)
    text::appendUtf8(out, 0x2400 + c);
  else if (c == 0x7F)
    text::appendUtf8(out, 0x2421);
  else if (c >= 0x80 && c <= 0x9F)
    text::appendUtf8(out, text::replacementCharacter);
  else
    text::appendUtf8(out, c);
}

boost::asio::awaitable<void> pause(std::chrono::milliseconds interval) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, interval);
  co_await timer.async_wait(boost::asio::use_awaitable);
}

}  // namespace

PromptInjector::InjectionError::InjectionError(Kind kind, const std::string& message,
                                               std::string subject, std::string seen)
    : std::runtime_error(message),
      kind_(kind),
      subject_(std::move(subject)),
      seen_(std::move(seen)) {}

PromptInjector::InjectionError PromptInjector::InjectionError::paneGone(const std::string& paneID) {
  return InjectionError(Kind::paneGone, "pane " + paneID + " no longer exists", paneID, "");
}

PromptInjector::InjectionError PromptInjector::InjectionError::readBackTimeout(
    const std::string& expected, const std::string& seen) {
  return InjectionError(
      Kind::readBackTimeout,
      "input box never matched after paste.\n  expected: " + expected + "\n  saw:      " + seen,
      expected, seen);
}

PromptInjector::InjectionError PromptInjector::InjectionError::dirtyInputBox(
    const std::string& found) {
  return InjectionError(Kind::dirtyInputBox, "input box held unexpected content: " + found, found,
                        "");
}

PromptInjector::InjectionError PromptInjector::InjectionError::noInputBox(
    const std::string& paneID) {
  return InjectionError(Kind::noInputBox, "no input box on screen in pane " + paneID, paneID, "");
}

PromptInjector::InjectionError PromptInjector::InjectionError::tmux(const std::exception& error) {
  return InjectionError(Kind::tmux, std::string("tmux error: ") + error.what(), error.what(), "");
}

PromptInjector::PromptInjector(TmuxClient tmux, std::chrono::milliseconds settleTimeout,
                               std::chrono::milliseconds pollInterval)
    : tmux_(std::move(tmux)), settleTimeout_(settleTimeout), pollInterval_(pollInterval) {}

std::optional<std::string> PromptInjector::inputBox(std::string_view capture) {
  const std::vector<std::string_view> lines = screen::lines(capture);
  std::optional<std::size_t> promptLine;
  for (std::size_t i = lines.size(); i-- > 0;) {
    const std::string plain = AnsiText::stripped(lines[i]);
    if (text::trimmedSpacesAndTabs(plain).starts_with(kBoxMarker)) {
      promptLine = i;
      break;
    }
  }
  if (!promptLine)
    return std::nullopt;

  std::vector<std::string> collected;
  for (std::size_t i = *promptLine; i < lines.size(); ++i) {
    const std::string plain = AnsiText::stripped(lines[i]);
    if (text::trimmedSpacesAndTabs(plain).empty())
      continue;
    if (screen::isBorderLine(plain))
      break;
    std::string real = AnsiText::realText(lines[i]);
    if (i == *promptLine) {
      const auto at = real.find(kPromptMarker);
      if (at != std::string::npos)
        real.erase(0, at + kPromptMarker.size());
    }
    // The no-break space after the marker is layout, not input.
    collected.emplace_back(text::trimmed(real));
  }
  std::string joined;
  for (std::size_t k = 0; k < collected.size(); ++k) {
    if (k > 0)
      joined += '\n';
    joined += collected[k];
  }
  return std::string(text::trimmed(joined));
}

std::string PromptInjector::pasteForm(std::string_view input) {
  const std::string valid = text::toValidUtf8(input);
  const std::string_view trimmed = text::trimmed(valid);
  std::string out;
  out.reserve(trimmed.size());
  for (std::size_t i = 0; i < trimmed.size();) {
    const text::Scalar scalar = text::decodeAt(trimmed, i);
    i = scalar.end;
    if (scalar.value == '\r') {
      out += '\n';
      if (i < trimmed.size() && trimmed[i] == '\n')
        ++i;
    } else if (scalar.value == '\n' || scalar.value == '\t') {
      out += static_cast<char>(scalar.value);
    } else {
      appendNeutralised(out, scalar.value);
    }
  }
  return out;
}

std::string PromptInjector::literalForm(std::string_view input) {
  const std::string valid = text::toValidUtf8(input);
  std::string out;
  out.reserve(valid.size());
  for (std::size_t i = 0; i < valid.size();) {
    const text::Scalar scalar = text::decodeAt(valid, i);
    i = scalar.end;
    appendNeutralised(out, scalar.value);
  }
  return out;
}

bool PromptInjector::pasteCollapses(std::string_view pasted) {
  return std::count(pasted.begin(), pasted.end(), '\n') > 2 || text::utf16Length(pasted) > 800;
}

bool PromptInjector::readBackMatches(std::string_view expected, std::string_view seen) {
  const std::string e = joinedWords(expected);
  const std::string s = joinedWords(seen);
  if (e.empty())
    return s.empty();
  if (s == e)
    return true;
  const std::string compactExpected = withoutWhitespace(e);
  const std::string compactSeen = withoutWhitespace(s);
  if (compactSeen == compactExpected)
    return true;
  if (compactSeen.ends_with(kEllipsis)) {
    const std::string_view shown =
        std::string_view(compactSeen).substr(0, compactSeen.size() - kEllipsis.size());
    // A bare "…" shows nothing of the text and proves nothing.
    if (!shown.empty() && compactExpected.starts_with(shown))
      return true;
  }
  return isCollapsedFormOf(expected, s);
}

std::optional<std::string> PromptInjector::currentInput(const std::string& pane) const {
  return inputBox(tmux_.capture(pane, std::nullopt, true));
}

bool PromptInjector::readBackMatches(std::size_t images, std::string_view expected,
                                     std::string_view seen) {
  // Without images a prompt may itself begin with a marker's words.
  if (images == 0)
    return readBackMatches(expected, seen);
  constexpr std::string_view marker = "[Image #";
  std::size_t shown = 0;
  while (true) {
    const std::size_t start = seen.find_first_not_of(' ');
    if (start == std::string_view::npos) {
      seen = {};
      break;
    }
    seen.remove_prefix(start);
    if (!seen.starts_with(marker))
      break;
    std::size_t end = marker.size();
    while (end < seen.size() && seen[end] >= '0' && seen[end] <= '9')
      ++end;
    if (end == marker.size() || end >= seen.size() || seen[end] != ']')
      break;
    seen.remove_prefix(end + 1);
    ++shown;
  }
  if (shown != images)
    return false;
  return expected.empty() ? seen.empty() : readBackMatches(expected, seen);
}

boost::asio::awaitable<void> PromptInjector::awaitSubmitted(std::size_t images, std::string pasted,
                                                            std::string pane) const {
  // Enter is taken when the box lets go of the text. Until then the text is
  // still on screen, and a prompt typed right after this one would find the
  // box "dirty" and be refused. A box that keeps the text past the settle
  // time is left alone: Enter was sent, and nothing more can be done safely.
  const auto deadline = std::chrono::steady_clock::now() + settleTimeout_;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::optional<std::string> box = currentInput(pane);
    if (!box || !readBackMatches(images, pasted, *box))
      co_return;
    co_await pause(pollInterval_);
  }
}

boost::asio::awaitable<void> PromptInjector::awaitShown(std::size_t images,
                                                        const std::string& pasted,
                                                        const std::string& pane,
                                                        const std::string& expected) const {
  const auto deadline = std::chrono::steady_clock::now() + settleTimeout_;
  std::string seen;
  while (true) {
    seen = currentInput(pane).value_or("");
    if (readBackMatches(images, pasted, seen))
      co_return;
    if (std::chrono::steady_clock::now() >= deadline)
      throw InjectionError::readBackTimeout(expected, seen);
    co_await pause(pollInterval_);
  }
}

boost::asio::awaitable<void> PromptInjector::injectAsync(std::string input, std::string pane,
                                                         bool submit,
                                                         std::vector<std::string> images) const {
  if (!tmux_.paneExists(pane))
    throw InjectionError::paneGone(pane);
  const std::string pasted = pasteForm(input);
  if (pasted.empty() && images.empty())
    co_return;
  try {
    const std::optional<std::string> box = currentInput(pane);
    if (!box)
      throw InjectionError::noInputBox(pane);
    if (!box->empty())
      throw InjectionError::dirtyInputBox(*box);
    // One at a time: pasted together, the paths would be one text, not
    // images.
    for (std::size_t i = 0; i < images.size(); ++i) {
      tmux_.pasteText(pasteForm(images[i]), pane);
      co_await awaitShown(i + 1, "", pane, "[Image #N] for " + images[i]);
    }
    if (!pasted.empty()) {
      // After a marker the text needs its own space, as a person types it.
      tmux_.pasteText(images.empty() ? pasted : " " + pasted, pane);
      co_await awaitShown(images.size(), pasted, pane, pasted);
    }
    if (submit) {
      tmux_.sendEnter(pane);
      co_await awaitSubmitted(images.size(), pasted, pane);
    }
  } catch (const InjectionError&) {
    throw;
  } catch (const std::exception& e) {
    throw InjectionError::tmux(e);
  }
}

void PromptInjector::inject(const std::string& text, const std::string& pane, bool submit) const {
  boost::asio::io_context context;
  auto done =
      boost::asio::co_spawn(context, injectAsync(text, pane, submit), boost::asio::use_future);
  context.run();
  done.get();
}

}  // namespace parley::terminal

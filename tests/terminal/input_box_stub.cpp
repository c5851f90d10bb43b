// A small terminal program that draws an input box the way Claude Code does
// (a rule, "❯" + no-break space + the text, a rule) so the prompt injector can
// be exercised in a real tmux pane without the real program. It asks for
// bracketed paste, keeps its text on a single Escape (counting Escapes in its
// footer), and on Enter appends the submitted text, byte for byte and ended by
// a NUL, to a log file.
//
//   input_box_stub LOG [--placeholder TEXT] [--collapse] [--ignore-paste]
//                      [--covered N] [--modes]
//
// --placeholder shows dim text in the empty box; --collapse shows pastes the
// way Claude Code 2.1.222 collapses them; --ignore-paste drops pasted text;
// --covered shows a permission dialog instead of the box until N Escapes;
// --modes shows Claude Code's mode footer, which Shift+Tab cycles.

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Options {
  std::string log;
  std::string placeholder;
  bool collapse = false;
  bool ignorePaste = false;
  int covered = 0;
  bool modes = false;
};

struct State {
  std::string text;   // what Enter submits
  std::string shown;  // what the box shows, when it differs from `text`
  std::vector<std::string> history;
  int pastes = 0;
  int escapes = 0;
  int mode = 0;
};

const char* const kModeLines[] = {
    "\xe2\x8f\xb8 manual mode on \xc2\xb7 ? for shortcuts",
    "\xe2\x8f\xb5\xe2\x8f\xb5 accept edits on (shift+tab to cycle)",
    "\xe2\x8f\xb8 plan mode on (shift+tab to cycle)",
    "\xe2\x8f\xb5\xe2\x8f\xb5 auto mode on (shift+tab to cycle)",
};

void writeAll(const std::string& s) {
  std::size_t done = 0;
  while (done < s.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, s.data() + done, s.size() - done);
    if (n <= 0)
      return;
    done += static_cast<std::size_t>(n);
  }
}

std::size_t utf16Units(const std::string& s) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if ((c & 0xC0) == 0x80)
      continue;
    units += (c >= 0xF0) ? 2 : 1;
  }
  return units;
}

void render(const Options& o, const State& s) {
  std::string out = "\x1b[H\x1b[2J";
  for (const std::string& h : s.history)
    out += "\xe2\x97\x8f submitted " + h + "\r\n";
  std::string border;
  for (int i = 0; i < 40; ++i)
    border += "\xe2\x94\x80";
  if (s.escapes < o.covered) {
    out += border + "\r\n Bash command\r\n   true\r\n Do you want to proceed?\r\n";
    out += " \xe2\x9d\xaf 1. Yes\r\n   2. No\r\n";
    out += "\r\n  escapes: " + std::to_string(s.escapes) + "\r\n";
    writeAll(out);
    return;
  }
  out += "\r\n" + border + "\r\n";
  out += "\xe2\x9d\xaf\xc2\xa0";
  const std::string& content = s.shown.empty() ? s.text : s.shown;
  if (content.empty() && !o.placeholder.empty()) {
    out += "\x1b[2m" + o.placeholder + "\x1b[0m";
  } else {
    for (char c : content) {
      if (c == '\n')
        out += "\r\n  ";
      else
        out += c;
    }
  }
  out += "\r\n" + border + "\r\n  escapes: " + std::to_string(s.escapes) + "\r\n";
  if (o.modes)
    out += std::string("  ") + kModeLines[s.mode] + "\r\n";
  writeAll(out);
}

void addPaste(const Options& o, State& s, std::string pasted) {
  std::replace(pasted.begin(), pasted.end(), '\r', '\n');
  if (o.ignorePaste)
    return;
  s.text += pasted;
  const auto lineFeeds = std::count(s.text.begin(), s.text.end(), '\n');
  if (o.collapse && (lineFeeds > 2 || utf16Units(s.text) > 800)) {
    ++s.pastes;
    s.shown = "[Pasted text #" + std::to_string(s.pastes) +
              (lineFeeds > 0 ? " +" + std::to_string(lineFeeds) + " lines" : "") + "]";
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc < 2)
    return 2;
  o.log = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--placeholder" && i + 1 < argc)
      o.placeholder = argv[++i];
    else if (a == "--collapse")
      o.collapse = true;
    else if (a == "--ignore-paste")
      o.ignorePaste = true;
    else if (a == "--covered" && i + 1 < argc)
      o.covered = std::stoi(argv[++i]);
    else if (a == "--modes")
      o.modes = true;
  }

  termios raw{};
  ::tcgetattr(STDIN_FILENO, &raw);
  ::cfmakeraw(&raw);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  writeAll("\x1b[?2004h");

  State s;
  render(o, s);
  std::string pending;
  bool inPaste = false;
  std::string paste;
  const std::string start = "\x1b[200~";
  const std::string end = "\x1b[201~";
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0)
      return 0;
    pending.append(buffer, static_cast<std::size_t>(n));
    while (!pending.empty()) {
      if (inPaste) {
        const auto at = pending.find(end);
        if (at == std::string::npos) {
          paste += pending;
          pending.clear();
          break;
        }
        paste += pending.substr(0, at);
        pending.erase(0, at + end.size());
        inPaste = false;
        addPaste(o, s, paste);
        paste.clear();
        continue;
      }
      if (pending.rfind("\x1b[Z", 0) == 0) {  // Shift+Tab
        pending.erase(0, 3);
        s.mode = (s.mode + 1) % 4;
        continue;
      }
      if (pending.rfind(start, 0) == 0) {
        pending.erase(0, start.size());
        inPaste = true;
        continue;
      }
      const char c = pending[0];
      pending.erase(0, 1);
      if (c == '\x1b') {
        // A lone Escape keeps the text, as Claude Code's first Escape does.
        ++s.escapes;
      } else if (c == '\r') {
        std::ofstream(o.log, std::ios::app | std::ios::binary) << s.text << '\0';
        s.history.push_back(s.text);
        s.text.clear();
        s.shown.clear();
      } else if (c == 0x15) {  // C-u clears the box
        s.text.clear();
        s.shown.clear();
      } else {
        s.text += c;
        s.shown.clear();
      }
    }
    render(o, s);
  }
}

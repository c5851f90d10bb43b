#include "terminal/tmux_client.hpp"

#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <charconv>
#include <cstdlib>

#include "base/process.hpp"
#include "protocol/hash_combine.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

constexpr std::string_view kFieldSeparator = "\x01";

const std::string& paneFormat() {
  static const std::string format = [] {
    const char* fields[] = {"#{pane_id}",
                            "#{session_name}",
                            "#{window_index}",
                            "#{pane_index}",
                            "#{pane_pid}",
                            "#{pane_current_path}",
                            "#{pane_current_command}",
                            "#{pane_title}",
                            "#{pane_width}",
                            "#{pane_height}",
                            "#{pane_dead}"};
    std::string joined;
    for (const char* f : fields) {
      if (!joined.empty())
        joined += kFieldSeparator;
      joined += f;
    }
    return joined;
  }();
  return format;
}

// Decimal with an optional sign; 0 when the field is empty, not a number, or
// does not fit.
template <class Int>
Int parseInteger(std::string_view field) {
  if (!field.empty() && field.front() == '+')
    field.remove_prefix(1);
  Int value = 0;
  const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value);
  if (ec != std::errc() || end != field.data() + field.size() || field.empty())
    return 0;
  return value;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string out;
  for (const std::string& w : words) {
    if (!out.empty())
      out += ' ';
    out += w;
  }
  return out;
}

std::string bufferName() {
  thread_local boost::uuids::random_generator generate;
  std::string uuid = boost::uuids::to_string(generate());
  for (char& c : uuid)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return "pl-" + uuid.substr(0, 8);
}

}  // namespace

TmuxClient::Failure::Failure(std::vector<std::string> command, std::int32_t status,
                             std::string standardError)
    : std::runtime_error("tmux " + joinWords(command) + " failed (" + std::to_string(status) +
                         "): " + standardError),
      command_(std::move(command)),
      status_(status),
      standardError_(std::move(standardError)) {}

std::size_t TmuxClient::PaneInfo::hash() const {
  return protocol::hashAll(paneID, sessionName, windowIndex, paneIndex, pid, currentPath,
                           currentCommand, title, width, height, dead);
}

std::string TmuxClient::resolveExecutable() {
  const char* path = std::getenv("PATH");
  return resolveExecutable(path != nullptr ? std::optional<std::string>(path) : std::nullopt);
}

std::string TmuxClient::resolveExecutable(const std::optional<std::string>& searchPath) {
  if (searchPath) {
    if (const auto found = base::findExecutable("tmux", *searchPath))
      return found->string();
  }
  return "/usr/bin/tmux";
}

std::optional<TmuxClient::PaneInfo> TmuxClient::parsePaneLine(std::string_view line) {
  const std::vector<std::string_view> f = text::split(line, kFieldSeparator);
  if (f.size() != 11)
    return std::nullopt;
  PaneInfo p;
  p.paneID = f[0];
  p.sessionName = f[1];
  p.windowIndex = parseInteger<std::int64_t>(f[2]);
  p.paneIndex = parseInteger<std::int64_t>(f[3]);
  p.pid = parseInteger<std::int32_t>(f[4]);
  p.currentPath = f[5];
  p.currentCommand = f[6];
  p.title = f[7];
  p.width = parseInteger<std::int64_t>(f[8]);
  p.height = parseInteger<std::int64_t>(f[9]);
  p.dead = f[10] != "0";
  return p;
}

TmuxClient::TmuxClient(std::string executable, std::string socketPath)
    : executable_(std::move(executable)), socketPath_(std::move(socketPath)) {}

TmuxClient::Result TmuxClient::run(const std::vector<std::string>& arguments,
                                   const std::optional<std::string>& input) const {
  std::vector<std::string> argv{"-S", socketPath_};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const base::ProcessResult child = base::runProcess(executable_, argv, {.input = input});
  return Result{child.status, text::toValidUtf8(child.out), text::toValidUtf8(child.err)};
}

void TmuxClient::runChecked(const std::vector<std::string>& arguments,
                            const std::optional<std::string>& input) const {
  Result r = run(arguments, input);
  if (!r.ok())
    throw Failure(arguments, r.status, std::move(r.standardError));
}

std::vector<TmuxClient::PaneInfo> TmuxClient::listPanes() const {
  const std::vector<std::string> args{"list-panes", "-a", "-F", paneFormat()};
  Result r = run(args);
  if (!r.ok())
    throw Failure(args, r.status, std::move(r.standardError));
  std::vector<PaneInfo> panes;
  for (std::string_view line : text::split(r.standardOutput, "\n")) {
    if (line.empty())
      continue;
    if (auto pane = parsePaneLine(line))
      panes.push_back(std::move(*pane));
  }
  return panes;
}

std::string TmuxClient::capture(const std::string& target, std::optional<int> lines,
                                bool escapes) const {
  std::vector<std::string> args{"capture-pane", "-p", "-J", "-t", target};
  if (escapes)
    args.emplace_back("-e");
  if (lines) {
    args.emplace_back("-S");
    // Built in place: GCC 12 misreports `"-" + std::string` at -O2 (-Wrestrict).
    std::string start = std::to_string(*lines);
    start.insert(start.begin(), '-');
    args.push_back(std::move(start));
  }
  Result r = run(args);
  if (!r.ok())
    throw Failure(args, r.status, std::move(r.standardError));
  return std::move(r.standardOutput);
}

bool TmuxClient::paneExists(const std::string& target) const noexcept {
  try {
    const Result r = run({"display", "-p", "-t", target, "#{pane_dead}"});
    return r.ok() && text::trimmed(r.standardOutput) == "0";
  } catch (...) {
    return false;
  }
}

void TmuxClient::sendKey(const std::string& key, const std::string& target) const {
  runChecked({"send-keys", "-t", target, key});
}

void TmuxClient::sendEnter(const std::string& target) const {
  sendKey("Enter", target);
}

void TmuxClient::sendEscape(const std::string& target) const {
  sendKey("Escape", target);
}

void TmuxClient::sendDigit(int n, const std::string& target) const {
  if (n < 1 || n > 9)
    throw std::invalid_argument("sendDigit takes 1 to 9, not " + std::to_string(n));
  sendKey(std::to_string(n), target);
}

void TmuxClient::sendLiteral(const std::string& text, const std::string& target) const {
  runChecked({"send-keys", "-l", "-t", target, "--", text});
}

void TmuxClient::pasteText(const std::string& text, const std::string& target) const {
  const std::string name = bufferName();
  runChecked({"load-buffer", "-b", name, "-"}, text);
  try {
    runChecked({"paste-buffer", "-d", "-p", "-b", name, "-t", target});
  } catch (...) {
    // A failed paste (the pane went away) would otherwise leave our buffer,
    // with the user's text in it, in their tmux server.
    try {
      run({"delete-buffer", "-b", name});
    } catch (...) {
    }
    throw;
  }
}

}  // namespace parley::terminal

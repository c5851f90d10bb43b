#include "claude_code_session.hpp"

#include "base/files.hpp"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <sstream>
#include <thread>

namespace parley::test {
namespace {

constexpr const char* kVersion = "2.1.222";
constexpr std::string_view kMarker = "\u276F";  // ❯
constexpr std::string_view kNoBreakSpace = "\u00A0";

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

std::string rtrim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.pop_back();
  return s;
}

// A horizontal rule of Claude Code's boxes: only "─" (U+2500) after trimming.
bool isRule(const std::string& line) {
  const std::string t = rtrim(line);
  if (t.empty() || t.size() % 3 != 0)
    return false;
  for (std::size_t i = 0; i < t.size(); i += 3)
    if (t.compare(i, 3, "\u2500") != 0)
      return false;
  return true;
}

// The input box's line is "❯" and a no-break space at the left edge; prompts
// in the conversation above and the options of dialogs have a plain space.
std::optional<std::size_t> lastMarkerLine(const std::vector<std::string>& rows) {
  const std::string prefix = std::string(kMarker) + std::string(kNoBreakSpace);
  for (std::size_t i = rows.size(); i-- > 0;)
    if (rows[i].rfind(prefix, 0) == 0)
      return i;
  return std::nullopt;
}

std::string cacheRoot() {
  if (const char* dir = ::getenv("PARLEY_CLAUDE_CODE_DIR"); dir && *dir)
    return dir;
  std::string base;
  if (const char* xdg = ::getenv("XDG_CACHE_HOME"); xdg && *xdg)
    base = xdg;
  else if (const char* home = ::getenv("HOME"); home && *home)
    base = std::string(home) + "/.cache";
  else
    return {};
  return base + "/parley/claude-code-" + kVersion;
}

std::string platformPackage() {
#if defined(__aarch64__)
  return "claude-code-linux-arm64";
#else
  return "claude-code-linux-x64";
#endif
}

}  // namespace

std::optional<std::filesystem::path> installedClaudeCode() {
  const std::string root = cacheRoot();
  if (root.empty())
    return std::nullopt;
  const std::filesystem::path binary =
      std::filesystem::path(root) / "node_modules/@anthropic-ai" / platformPackage() / "claude";
  std::error_code ec;
  // The install script writes its marker last, so a half-finished install
  // never counts.
  bool marked = false;
  for (const auto& entry : std::filesystem::directory_iterator(root, ec))
    marked = marked ||
             entry.path().filename().string().rfind(std::string(".installed-") + kVersion, 0) == 0;
  if (!marked || ::access(binary.c_str(), X_OK) != 0)
    return std::nullopt;
  return binary;
}

std::string claudeCodeMissingMessage() {
  return std::string("Claude Code ") + kVersion + " is not installed under '" + cacheRoot() +
         "'; run scripts/install-claude-code.sh (make test does) with the npm registry "
         "reachable to run the end-to-end tests";
}

std::optional<std::string> inputBoxText(const std::string& screen) {
  const std::vector<std::string> rows = lines(screen);
  const auto marker = lastMarkerLine(rows);
  if (!marker)
    return std::nullopt;
  std::string out;
  for (std::size_t i = *marker; i < rows.size() && !isRule(rows[i]); ++i) {
    std::string row = rows[i];
    if (i == *marker) {
      row.erase(0, kMarker.size() + kNoBreakSpace.size());
    } else if (row.rfind("  ", 0) == 0) {
      row.erase(0, 2);
    }
    if (i > *marker)
      out += "\n";
    out += rtrim(row);
  }
  while (!out.empty() && out.back() == '\n')
    out.pop_back();
  return out;
}

bool inputBoxVisible(const std::string& screen) {
  const std::vector<std::string> rows = lines(screen);
  const auto marker = lastMarkerLine(rows);
  if (!marker || *marker == 0 || !isRule(rows[*marker - 1]))
    return false;
  for (std::size_t i = *marker + 1; i < rows.size(); ++i)
    if (isRule(rows[i]))
      return true;
  return false;
}

ClaudeCodeSession::ClaudeCodeSession(ClaudeCodeOptions options) {
  const auto binary = installedClaudeCode();
  if (!binary) {
    ADD_FAILURE() << claudeCodeMissingMessage();
    throw std::runtime_error("Claude Code is not installed");
  }
  api_ = std::make_unique<ClaudeStandIn>();
  root_ = std::make_unique<TempDir>();
  // Claude Code keys its per-project state by the real path.
  const std::filesystem::path root = std::filesystem::canonical(root_->path());
  home_ = root / "home";
  project_ = root / "proj";
  std::filesystem::create_directories(home_);
  std::filesystem::create_directories(project_);
  std::filesystem::create_directories(root / "tmp");
  writeHome();
  if (options.prepareHome)
    options.prepareHome(home_);

  const std::map<std::string, std::string> env{
      {"HOME", home_.string()},
      {"ANTHROPIC_BASE_URL", api_->baseUrl()},
      {"ANTHROPIC_API_KEY", kApiKey},
      {"DISABLE_TELEMETRY", "1"},
      {"CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1"},
      {"DISABLE_AUTOUPDATER", "1"},
      // Otherwise Claude Code leaves a directory per project in the shared
      // /tmp/claude-UID.
      {"CLAUDE_CODE_TMPDIR", (root / "tmp").string()},
  };

  tmux_ = std::make_unique<TmuxServer>();
  TmuxServer::PaneSpec paneSpec;
  paneSpec.argv = {binary->string()};
  paneSpec.env = env;
  paneSpec.cwd = project_;
  paneSpec.sessionName = "claude";
  pane_ = tmux_->newSession(paneSpec);
  waitUntilReady(std::chrono::seconds(60));
}

ClaudeCodeSession::~ClaudeCodeSession() {
  // kill-server hangs up on Claude Code; make sure it is gone before its HOME
  // is removed underneath it.
  const pid_t pid = pane_.pid;
  tmux_.reset();
  if (pid > 0 && ::kill(pid, 0) == 0) {
    if (!waitUntil([pid] { return ::kill(pid, 0) != 0; }, std::chrono::seconds(5)))
      ::kill(pid, SIGKILL);
  }
}

void ClaudeCodeSession::writeHome() {
  const std::string key = kApiKey;
  // What first-run asks is answered up front: onboarding done, our API key
  // approved (Claude Code remembers its last 20 characters) and the project
  // trusted.
  boost::json::object config{
      {"hasCompletedOnboarding", true},
      {"lastReleaseNotesSeen", kVersion},
      {"customApiKeyResponses",
       {{"approved", boost::json::array{boost::json::string(key.substr(key.size() - 20))}},
        {"rejected", boost::json::array{}}}},
      {"projects",
       {{project_.string(),
         {{"hasTrustDialogAccepted", true}, {"projectOnboardingSeenCount", 1}}}}}};
  writeFile(home_ / ".claude.json", boost::json::serialize(config));
}

void ClaudeCodeSession::waitUntilReady(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string screen;
  while (true) {
    screen = this->screen();
    if (inputBoxVisible(screen) &&
        screen.find("Do you want to use this API key?") == std::string::npos)
      return;
    // Dialogs that the prepared HOME should have avoided; answer them rather
    // than hang if a later configuration brings them back.
    if (screen.find("Yes, I trust this folder") != std::string::npos)
      press({"Enter"});
    else if (screen.find("Do you want to use this API key?") != std::string::npos)
      press({"1"});
    else if (screen.find("Press Enter to continue") != std::string::npos)
      press({"Enter"});
    if (!tmux_->paneAlive(pane_.id) || std::chrono::steady_clock::now() >= deadline)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ADD_FAILURE() << "Claude Code did not reach its input box"
                << (tmux_->paneAlive(pane_.id) ? "" : " (it exited)") << "; screen:\n"
                << screen;
  throw std::runtime_error("Claude Code did not start");
}

bool ClaudeCodeSession::waitForScreen(const std::function<bool(const std::string&)>& predicate,
                                      std::chrono::milliseconds timeout, const std::string& what) {
  std::string last;
  if (tmux_->waitForScreen(pane_.id, predicate, timeout, &last))
    return true;
  ADD_FAILURE() << "timed out waiting for " << what << "; screen:\n" << last;
  return false;
}

bool ClaudeCodeSession::waitForText(const std::string& text, std::chrono::milliseconds timeout) {
  return waitForScreen([&](const std::string& s) { return s.find(text) != std::string::npos; },
                       timeout, "\"" + text + "\"");
}

bool ClaudeCodeSession::waitForIdle(std::chrono::milliseconds timeout) {
  return waitForScreen(
      [](const std::string& s) {
        return inputBoxVisible(s) && s.find("esc to interrupt") == std::string::npos;
      },
      timeout, "the idle input box");
}

void ClaudeCodeSession::submit(const std::string& prompt) {
  // Claude Code wraps the box at word boundaries, so compare words.
  const auto words = [](const std::string& text) {
    std::istringstream in(text);
    std::string out;
    for (std::string word; in >> word;)
      out += (out.empty() ? "" : " ") + word;
    return out;
  };
  type(prompt);
  // Enter before the text has landed would submit half of it.
  waitForScreen(
      [&](const std::string& s) {
        const auto box = inputBoxText(s);
        return box && words(*box) == words(prompt);
      },
      std::chrono::seconds(10), "the prompt in the input box");
  press({"Enter"});
}

std::optional<std::filesystem::path> ClaudeCodeSession::transcriptPath() const {
  std::error_code ec;
  std::optional<std::filesystem::path> newest;
  std::filesystem::file_time_type newestTime;
  for (const auto& dir : std::filesystem::directory_iterator(home_ / ".claude" / "projects", ec)) {
    for (const auto& file : std::filesystem::directory_iterator(dir.path(), ec)) {
      if (file.path().extension() != ".jsonl")
        continue;
      const auto time = file.last_write_time(ec);
      if (!newest || time > newestTime) {
        newest = file.path();
        newestTime = time;
      }
    }
  }
  return newest;
}

std::filesystem::path ClaudeCodeSession::sessionFilePath() const {
  return home_ / ".claude" / "sessions" / (std::to_string(pane_.pid) + ".json");
}

std::string ClaudeCodeSession::waitForSessionID(std::chrono::milliseconds timeout) const {
  std::string id;
  waitUntil(
      [&] {
        boost::json::error_code ec;
        const auto text = base::readFileIfReadable(sessionFilePath());
        const boost::json::value file = boost::json::parse(text.value_or(""), ec);
        if (ec || !file.is_object() || !file.as_object().contains("sessionId") ||
            !file.at("sessionId").is_string())
          return false;
        id = std::string(file.at("sessionId").as_string());
        return true;
      },
      timeout, std::chrono::milliseconds(50));
  return id;
}

}  // namespace parley::test

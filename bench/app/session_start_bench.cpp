// A tap on "start" on the phone to the new session's card there, with the
// real Claude Code 2.1.222: the phone (a WebSocket client on loopback,
// paired with the real `parley pair` to the real `parley run`) asks for a
// session in a trusted project; `parley run` opens a tmux window running
// Claude Code, whose SessionStart hook reaches it through the relay; the
// time runs until the phone's session list holds the new pane. Each round
// then stops the session from the phone and waits until it is gone.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>

#include "claude_code_session.hpp"
#include "parley_run.hpp"
#include "protocol/envelope.hpp"
#include "support/phone_client.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int kRounds = 6;
constexpr int kWarmup = 1;

// The next message of type T, passing over the others; `until` ends the
// wait early when it holds for what arrived.
template <class T>
T await(test::PhoneClient& phone, const std::string& what,
        const std::function<bool(const T&)>& until = nullptr,
        std::chrono::milliseconds timeout = 60s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto in = phone.next(30s);
    if (in.kind != test::PhoneClient::Incoming::Kind::message)
      throw std::runtime_error("the phone lost its connection waiting for " + what + ": " +
                               in.error);
    auto envelope = protocol::ServerEnvelope::decode(in.text);
    if (const auto* failure = std::get_if<protocol::Failure>(&envelope.message))
      throw std::runtime_error("the desktop refused: " + failure->message);
    if (auto* value = std::get_if<T>(&envelope.message); value && (!until || until(*value)))
      return *value;
  }
  throw std::runtime_error("the phone waited in vain for " + what);
}

// Whether the list shows a session in `pane` that has not ended.
bool lists(const protocol::SessionUpdate& update, const std::string& pane) {
  return std::any_of(update.sessions.begin(), update.sessions.end(), [&](const auto& s) {
    return s.paneID == pane && s.state != protocol::SessionState::ended;
  });
}

std::vector<double> measure() {
  ParleyRun app;
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) {
    app.start(home, "SessionStart");
    // Where Parley looks for Claude Code in a person's home.
    fs::create_directories(home / ".local/bin");
    fs::create_symlink(*test::installedClaudeCode(), home / ".local/bin/claude");
  };
  test::ClaudeCodeSession claude(options);
  // The windows Parley opens take the tmux server's environment, as a
  // person's would: here, the stand-in's API and the prepared home.
  const std::string socket = claude.socketPath().string();
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
           {"HOME", claude.home().string()},
           {"ANTHROPIC_BASE_URL", claude.api().baseUrl()},
           {"ANTHROPIC_API_KEY", test::ClaudeCodeSession::kApiKey},
           {"DISABLE_TELEMETRY", "1"},
           {"CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC", "1"},
           {"DISABLE_AUTOUPDATER", "1"},
           {"CLAUDE_CODE_TMPDIR", (claude.home().parent_path() / "tmp").string()}})
    if (!test::runProcess({"tmux", "-S", socket, "set-environment", "-g", key, value},
                          {{"PATH", "/usr/bin:/bin"}})
             .ok())
      throw std::runtime_error("tmux set-environment failed");

  test::PhoneClient phone(app.port());
  phone.sendHello(app.token());
  await<protocol::HelloAck>(phone, "the hello's answer");
  phone.send(protocol::ListProjects{});
  const auto projects = await<protocol::Projects>(phone, "the projects").projects;
  const auto project = std::find_if(projects.begin(), projects.end(), [&](const auto& p) {
    return p.path == claude.projectDir().string();
  });
  if (project == projects.end() || !project->trusted)
    throw std::runtime_error("the test project is not listed as trusted");

  std::vector<double> millis;
  for (int round = 0; round < kWarmup + kRounds; ++round) {
    const auto tapped = std::chrono::steady_clock::now();
    std::string id = "start-";
    id += std::to_string(round);
    phone.send(protocol::StartSession{.clientMsgID = id, .projectID = project->projectID});
    const std::string pane = await<protocol::SessionStarted>(phone, "the start's answer").paneID;
    const auto update = await<protocol::SessionUpdate>(
        phone, "the new session's card",
        [&](const protocol::SessionUpdate& u) { return lists(u, pane); });
    const auto shown = std::chrono::steady_clock::now();
    if (round >= kWarmup)
      millis.push_back(std::chrono::duration<double, std::milli>(shown - tapped).count());
    const auto session = std::find_if(update.sessions.begin(), update.sessions.end(),
                                      [&](const auto& s) { return s.paneID == pane; });
    id += "-stop";
    phone.send(protocol::StopSession{.clientMsgID = id, .sessionID = session->sessionID});
    await<protocol::SessionUpdate>(
        phone, "the stopped session's end",
        [&](const protocol::SessionUpdate& u) { return !lists(u, pane); });
  }
  return millis;
}

void BM_StartToCard(benchmark::State& state) {
  const std::vector<double> millis = measureWithClaudeCode(state, measure);
  if (millis.empty())
    return;
  state.counters["p50_ms"] = percentile(millis, 0.5);
  char line[200];
  std::snprintf(line, sizeof line,
                "start on the phone -> the new session listed there, %d sessions of the real "
                "Claude Code: p50 %.0f ms, min %.0f ms, max %.0f ms",
                kRounds, percentile(millis, 0.5), *std::min_element(millis.begin(), millis.end()),
                *std::max_element(millis.begin(), millis.end()));
  summary().push_back(line);
}
BENCHMARK(BM_StartToCard)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  return parley::bench::benchMain(argc, argv, "Sessions from the phone");
}

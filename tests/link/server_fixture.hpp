#pragma once

// A WebSocket server on loopback with scripted session commands, run on a
// two-thread pool like the application's, and a record of everything it
// reports.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "link/websocket_server.hpp"
#include "support/phone_client.hpp"
#include "support/test_support.hpp"

namespace parley::link::test {

using namespace std::chrono_literals;
using parley::test::PhoneClient;
using Server = WebSocketServer;

// Runs every command on its own strand, records it as "operation:args", and
// answers from its script: a failure text per operation name, or a value.
class ScriptedCommands : public protocol::SessionCommands,
                         public std::enable_shared_from_this<ScriptedCommands> {
 public:
  explicit ScriptedCommands(boost::asio::any_io_executor executor)
      : strand_(boost::asio::make_strand(executor)) {}

  void failWith(const std::string& operation, const std::string& text) {
    std::lock_guard lock(mutex_);
    failures_[operation] = text;
  }
  void setSessions(std::vector<protocol::SessionDescriptor> sessions) {
    std::lock_guard lock(mutex_);
    sessions_ = std::move(sessions);
  }
  // Runs while the sessions are listed for a hello, before they are answered.
  void whileListing(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    whileListing_ = std::move(work);
  }
  // The text of the n-th terminal frame (0-based); the last repeats.
  void setTermTexts(std::vector<std::string> texts) {
    std::lock_guard lock(mutex_);
    termTexts_ = std::move(texts);
  }
  // What get_changes answers (its session id is the request's), and the
  // diffs get_file_diff answers with, by path; any other path fails.
  void setChanges(protocol::Changes changes, std::vector<protocol::FileDiff> diffs) {
    std::lock_guard lock(mutex_);
    changes_ = std::move(changes);
    diffs_ = std::move(diffs);
  }
  // What list_projects and list_history answer.
  void setProjects(std::vector<protocol::ProjectInfo> projects,
                   std::vector<protocol::PastSession> history) {
    std::lock_guard lock(mutex_);
    projects_ = std::move(projects);
    history_ = std::move(history);
  }
  std::vector<std::string> calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  int count(const std::string& prefix) const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(std::count_if(calls_.begin(), calls_.end(),
                                          [&](const auto& c) { return c.rfind(prefix, 0) == 0; }));
  }

  void run(protocol::SessionCommand command, Done done) override {
    boost::asio::post(strand_, [self = shared_from_this(), command = std::move(command), done] {
      std::visit([&](const auto& m) { self->answer(m, done); }, command);
    });
  }

 private:
  using Result = protocol::CommandResult;
  template <class Key>
  static std::string raw(const std::optional<Key>& key) {
    return key ? std::string(protocol::rawValue(*key)) : "-";
  }

  void answer(const protocol::ListSessions&, const Done& done) {
    std::lock_guard lock(mutex_);
    if (whileListing_)
      whileListing_();
    done(nullptr, sessions_);
  }
  void answer(const protocol::SubmitPrompt& m, const Done& done) {
    std::string images;
    for (const auto& id : m.images.value_or(std::vector<std::string>{}))
      images += "|image:" + id;
    reply("submit",
          m.sessionID + "|" + m.text + "|" + (m.submit ? "1" : "0") + "|" +
              (m.confidence ? std::to_string(*m.confidence) : "-") + images,
          done);
  }
  void answer(const protocol::Interrupt& m, const Done& done) {
    reply("interrupt", m.sessionID, done);
  }
  void answer(const protocol::PermissionAnswer& m, const Done& done) {
    reply("permissionAnswer", m.requestID + "|" + m.nonce + "|" + std::to_string(m.optionIndex),
          done);
  }
  void answer(const protocol::QuestionAnswer& m, const Done& done) {
    reply("questionAnswer",
          m.sessionID + "|" + std::to_string(m.optionIndex) + "|" + m.expectedLabel, done);
  }
  void answer(const protocol::SendKey& m, const Done& done) {
    reply("sendKey", m.sessionID + "|" + std::string(protocol::rawValue(m.key)), done);
  }
  void answer(const protocol::GetPane& m, const Done& done) {
    reply("paneSnapshot", m.sessionID + "|" + std::to_string(m.lines), done,
          protocol::PaneSnapshot{m.sessionID, 80, 24, "pane of " + m.sessionID});
  }
  void answer(const protocol::GetDetail& m, const Done& done) {
    reply("detail", m.ref, done, protocol::DetailText{m.ref, "full text of " + m.ref});
  }
  void answer(const protocol::Focus& m, const Done& done) { reply("focus", m.sessionID, done); }
  void answer(const protocol::SetPrefs& m, const Done& done) {
    reply("setPrefs", raw(m.verbosity), done);
  }
  void answer(const protocol::TermInput& m, const Done& done) {
    reply("termInput", m.sessionID + "|" + m.text.value_or("-") + "|" + raw(m.key), done);
  }
  void answer(const protocol::SpokenPrompt& m, const Done& done) {
    reply("spokenPrompt", m.sessionID + "|" + m.text, done);
  }
  void answer(const protocol::SpokenAnswer& m, const Done& done) {
    reply("spokenAnswer", m.sessionID + "|" + (m.approve ? "yes" : "no"), done);
  }
  void answer(const protocol::GetChanges& m, const Done& done) {
    protocol::Changes changes;
    {
      std::lock_guard lock(mutex_);
      changes = changes_;
    }
    changes.sessionID = m.sessionID;
    reply("changes", m.sessionID, done, std::move(changes));
  }
  void answer(const protocol::GetFileDiff& m, const Done& done) {
    std::optional<protocol::FileDiff> diff;
    {
      std::lock_guard lock(mutex_);
      for (const auto& d : diffs_) {
        if (d.file.path == m.path && d.file.area == m.area)
          diff = d;
      }
    }
    const std::string args =
        m.sessionID + "|" + m.path + "|" + std::string(protocol::rawValue(m.area));
    if (!diff) {
      {
        std::lock_guard lock(mutex_);
        calls_.push_back("fileDiff:" + args);
      }
      return done(std::make_exception_ptr(std::runtime_error(m.path + " has no changes")), {});
    }
    diff->sessionID = m.sessionID;
    reply("fileDiff", args, done, std::move(*diff));
  }
  void answer(const protocol::ListProjects&, const Done& done) {
    protocol::Projects listed;
    {
      std::lock_guard lock(mutex_);
      listed.projects = projects_;
    }
    reply("listProjects", "", done, std::move(listed));
  }
  void answer(const protocol::ListHistory& m, const Done& done) {
    protocol::History page{.projectID = m.projectID, .offset = m.offset};
    {
      std::lock_guard lock(mutex_);
      page.total = static_cast<std::int64_t>(history_.size());
      page.sessions = history_;
    }
    reply("listHistory", m.projectID + "|" + std::to_string(m.offset), done, std::move(page));
  }
  void answer(const protocol::StartSession& m, const Done& done) {
    reply("start", m.projectID + "|" + m.prompt.value_or("-"), done,
          protocol::SessionStarted{.projectID = m.projectID,
                                   .paneID = "%9",
                                   .tmuxTarget = "parley:1",
                                   .attach = "tmux attach -t parley:1"});
  }
  void answer(const protocol::ResumeSession& m, const Done& done) {
    reply("resume", m.historyID, done,
          protocol::SessionStarted{.projectID = "P1",
                                   .historyID = m.historyID,
                                   .paneID = "%8",
                                   .tmuxTarget = "parley:1",
                                   .attach = "tmux attach -t parley:1"});
  }
  void answer(const protocol::StopSession& m, const Done& done) {
    reply("stop", m.sessionID, done);
  }
  void answer(const protocol::SetMode& m, const Done& done) { reply("mode", m.sessionID, done); }
  void answer(const protocol::TermFrameRequest& m, const Done& done) {
    protocol::TermFrame frame;
    {
      std::lock_guard lock(mutex_);
      const std::size_t n = termFrames_++;
      // The size changes on every frame; only the text counts as a change.
      frame = {m.sessionID, 80 + static_cast<std::int64_t>(n), 24,
               termTexts_.empty() ? "" : termTexts_[std::min(n, termTexts_.size() - 1)]};
    }
    reply("termFrame", m.sessionID, done, std::move(frame));
  }

  void reply(const std::string& op, const std::string& args, const Done& done, Result value = {}) {
    std::exception_ptr error;
    {
      std::lock_guard lock(mutex_);
      calls_.push_back(op + ":" + args);
      if (auto it = failures_.find(op); it != failures_.end())
        error = std::make_exception_ptr(std::runtime_error(it->second));
    }
    done(error, error ? Result{} : std::move(value));
  }

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> failures_;
  std::vector<protocol::SessionDescriptor> sessions_;
  std::function<void()> whileListing_;
  std::vector<std::string> termTexts_;
  std::size_t termFrames_ = 0;
  protocol::Changes changes_{.repository = true};
  std::vector<protocol::FileDiff> diffs_;
  std::vector<protocol::ProjectInfo> projects_;
  std::vector<protocol::PastSession> history_;
  std::vector<std::string> calls_;
};

// Everything the server reported, in order.
struct Reports {
  mutable std::mutex mutex;
  std::vector<Server::Status> statuses;
  std::vector<Server::PeerEvent> events;
  std::vector<std::string> logs;

  template <class E>
  std::vector<E> eventsOf() const {
    std::lock_guard lock(mutex);
    std::vector<E> out;
    for (const auto& e : events) {
      if (const E* x = std::get_if<E>(&e))
        out.push_back(*x);
    }
    return out;
  }
  bool hasLog(const std::string& line) const {
    std::lock_guard lock(mutex);
    return std::find(logs.begin(), logs.end(), line) != logs.end();
  }
  bool hasLogStartingWith(const std::string& prefix) const {
    std::lock_guard lock(mutex);
    return std::any_of(logs.begin(), logs.end(),
                       [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
  }
  std::size_t countLogsContaining(const std::string& part) const {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count_if(logs.begin(), logs.end(), [&](const auto& l) {
      return l.find(part) != std::string::npos;
    }));
  }
  std::optional<Server::Status> lastStatus() const {
    std::lock_guard lock(mutex);
    if (statuses.empty())
      return std::nullopt;
    return statuses.back();
  }
  std::vector<Server::Status> statusHistory() const {
    std::lock_guard lock(mutex);
    return statuses;
  }
};

class ServerTest : public ::testing::Test {
 protected:
  static Server::Configuration testConfiguration() {
    Server::Configuration c;
    c.port = 0;
    c.bindAddress = "127.0.0.1";
    c.tailscaleExecutable = "";
    c.pingInterval = 30s;  // heartbeat tests shorten these
    c.pongDeadline = 30s;
    c.helloDeadline = 10s;
    c.dropReportDelay = 50ms;
    c.termFrameInterval = 5ms;
    c.closeGrace = 500ms;
    c.serverVersion = "9.9";
    return c;
  }

  ServerTest() : work_(boost::asio::make_work_guard(io_)) {
    for (int i = 0; i < 2; ++i)
      threads_.emplace_back([this] { io_.run(); });
    commands = std::make_shared<ScriptedCommands>(io_.get_executor());
    token = store.addDevice("Pixel", "DEV-1");
  }

  ~ServerTest() override {
    server.reset();
    commands.reset();
    work_.reset();
    for (auto& t : threads_)
      t.join();  // hangs (and times out) if the server left work behind
  }

  // Starts the server and waits until it listens; returns its port.
  std::uint16_t startServer(Server::Configuration configuration = testConfiguration(),
                            bool attached = true) {
    server = std::make_unique<Server>(io_.get_executor(), std::move(configuration), store,
                                      attached ? std::weak_ptr<protocol::SessionCommands>(commands)
                                               : std::weak_ptr<protocol::SessionCommands>());
    server->setOnStatusChange([this](const Server::Status& s) {
      std::lock_guard lock(reports.mutex);
      reports.statuses.push_back(s);
    });
    server->setOnPeerEvent([this](const Server::PeerEvent& e) {
      std::lock_guard lock(reports.mutex);
      reports.events.push_back(e);
    });
    server->setOnLog([this](const std::string& line) {
      std::lock_guard lock(reports.mutex);
      reports.logs.push_back(line);
    });
    server->start();
    EXPECT_TRUE(parley::test::waitUntil([&] {
      auto s = reports.lastStatus();
      return s && !std::holds_alternative<Server::Starting>(*s);
    }));
    const auto status = reports.lastStatus();
    if (!status || !std::holds_alternative<Server::Listening>(*status)) {
      ADD_FAILURE() << "not listening: " << (status ? describe(*status).line : "no status");
      return 0;
    }
    port = std::get<Server::Listening>(*status).port;
    return port;
  }

  // A client whose hello was accepted; its HelloAck has been read.
  std::unique_ptr<PhoneClient> connectAuthenticated(std::optional<std::uint64_t> lastSeq = {},
                                                    protocol::HelloAck* ack = nullptr,
                                                    std::uint64_t* ackSeq = nullptr) {
    auto client = std::make_unique<PhoneClient>(port);
    client->sendHello(token, lastSeq);
    const protocol::HelloAck received = client->expect<protocol::HelloAck>(ackSeq);
    if (ack != nullptr)
      *ack = received;
    return client;
  }

  void publishAndWait(const protocol::ServerMessage& message, int times = 1) {
    const std::uint64_t target = server->latestSeq() + static_cast<std::uint64_t>(times);
    for (int i = 0; i < times; ++i)
      server->publish(message);
    EXPECT_TRUE(parley::test::waitUntil([&] { return server->latestSeq() == target; }));
  }

  boost::asio::io_context io_;

 private:
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::vector<std::thread> threads_;

 protected:
  parley::test::TempDir dir;
  PairingStore store{"com.ketchworks.parley.pairing", dir / "devices.json",
                     Preferences(dir / "preferences.json")};
  std::string token;
  std::shared_ptr<ScriptedCommands> commands;
  std::unique_ptr<Server> server;
  Reports reports;
  std::uint16_t port = 0;
};

}  // namespace parley::link::test

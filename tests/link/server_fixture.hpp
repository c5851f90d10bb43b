#pragma once

// A WebSocket server on loopback with a scripted command sink, run on a
// two-thread pool like the application's, and a record of everything it
// reports.

#include <gtest/gtest.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
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

// Runs every operation on its own strand, records it, and answers from its
// script: a failure text per operation name, or a value.
class ScriptedSink : public VoiceCommandSink, public std::enable_shared_from_this<ScriptedSink> {
 public:
  explicit ScriptedSink(boost::asio::any_io_executor executor)
      : strand_(boost::asio::make_strand(executor)) {}

  void failWith(const std::string& operation, const std::string& text) {
    std::lock_guard lock(mutex_);
    failures_[operation] = text;
  }
  void setSessions(std::vector<protocol::SessionDescriptor> sessions) {
    std::lock_guard lock(mutex_);
    sessions_ = std::move(sessions);
  }
  // The text of the n-th terminal frame (0-based); the last repeats.
  void setTermTexts(std::vector<std::string> texts) {
    std::lock_guard lock(mutex_);
    termTexts_ = std::move(texts);
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

  void sessions(std::function<void(std::vector<protocol::SessionDescriptor>)> done) override {
    run("sessions", [this, done] {
      std::lock_guard lock(mutex_);
      done(sessions_);
    });
  }
  void submit(std::string sessionID, std::string text, bool submit,
              std::optional<double> confidence, Done done) override {
    act("submit",
        sessionID + "|" + text + "|" + (submit ? "1" : "0") + "|" +
            (confidence ? std::to_string(*confidence) : "-"),
        done);
  }
  void interrupt(std::string sessionID, Done done) override { act("interrupt", sessionID, done); }
  void permissionAnswer(std::string requestID, std::string nonce, std::int64_t optionIndex,
                        Done done) override {
    act("permissionAnswer", requestID + "|" + nonce + "|" + std::to_string(optionIndex), done);
  }
  void questionAnswer(std::string sessionID, std::int64_t optionIndex, std::string expectedLabel,
                      Done done) override {
    act("questionAnswer", sessionID + "|" + std::to_string(optionIndex) + "|" + expectedLabel,
        done);
  }
  void sendKey(std::string sessionID, protocol::SendKey::Key key, Done done) override {
    act("sendKey", sessionID + "|" + std::string(protocol::rawValue(key)), done);
  }
  void paneSnapshot(std::string sessionID, std::int64_t lines,
                    Result<protocol::PaneSnapshot> done) override {
    produce("paneSnapshot", sessionID + "|" + std::to_string(lines), done, [=] {
      return protocol::PaneSnapshot{sessionID, 80, 24, "pane of " + sessionID};
    });
  }
  void detail(std::string ref, Result<std::string> done) override {
    produce("detail", ref, done, [=] { return "full text of " + ref; });
  }
  void focus(std::string sessionID, Done done) override { act("focus", sessionID, done); }
  void setPrefs(protocol::SetPrefs prefs, std::function<void()> done) override {
    run("setPrefs", [this, prefs, done] {
      record("setPrefs", prefs.verbosity ? std::string(protocol::rawValue(*prefs.verbosity)) : "-");
      done();
    });
  }
  void termInput(std::string sessionID, std::optional<std::string> text,
                 std::optional<protocol::TermInput::Key> key, Done done) override {
    act("termInput",
        sessionID + "|" + text.value_or("-") + "|" +
            (key ? std::string(protocol::rawValue(*key)) : "-"),
        done);
  }
  void termFrame(std::string sessionID, Result<protocol::TermFrame> done) override {
    produce("termFrame", sessionID, done, [this, sessionID] {
      std::lock_guard lock(mutex_);
      const std::size_t n = termFrames_++;
      const std::string text =
          termTexts_.empty() ? "" : termTexts_[std::min(n, termTexts_.size() - 1)];
      // The size changes on every frame; only the text counts as a change.
      return protocol::TermFrame{sessionID, 80 + static_cast<std::int64_t>(n), 24, text};
    });
  }

 private:
  template <class F>
  void run(const std::string&, F work) {
    boost::asio::post(strand_, [self = shared_from_this(), work] { work(); });
  }
  void record(const std::string& op, const std::string& args) {
    std::lock_guard lock(mutex_);
    calls_.push_back(op + ":" + args);
  }
  std::exception_ptr failure(const std::string& op) {
    std::lock_guard lock(mutex_);
    auto it = failures_.find(op);
    return it == failures_.end() ? nullptr
                                 : std::make_exception_ptr(std::runtime_error(it->second));
  }
  void act(const std::string& op, const std::string& args, Done done) {
    run(op, [this, op, args, done] {
      record(op, args);
      done(failure(op));
    });
  }
  template <class T, class Make>
  void produce(const std::string& op, const std::string& args, Result<T> done, Make make) {
    run(op, [this, op, args, done, make] {
      record(op, args);
      if (auto error = failure(op))
        done(error, T{});
      else
        done(nullptr, make());
    });
  }

  boost::asio::strand<boost::asio::any_io_executor> strand_;
  mutable std::mutex mutex_;
  std::map<std::string, std::string> failures_;
  std::vector<protocol::SessionDescriptor> sessions_;
  std::vector<std::string> termTexts_;
  std::size_t termFrames_ = 0;
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
    sink = std::make_shared<ScriptedSink>(io_.get_executor());
    token = store.addDevice("Pixel", "DEV-1");
  }

  ~ServerTest() override {
    server.reset();
    sink.reset();
    work_.reset();
    for (auto& t : threads_)
      t.join();  // hangs (and times out) if the server left work behind
  }

  // Starts the server and waits until it listens; returns its port.
  std::uint16_t startServer(Server::Configuration configuration = testConfiguration(),
                            bool withSink = true) {
    server = std::make_unique<Server>(
        io_.get_executor(), std::move(configuration), store,
        withSink ? std::weak_ptr<VoiceCommandSink>(sink) : std::weak_ptr<VoiceCommandSink>());
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
      ADD_FAILURE() << "not listening: " << (status ? describe(*status) : "no status");
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
  std::shared_ptr<ScriptedSink> sink;
  std::unique_ptr<Server> server;
  Reports reports;
  std::uint16_t port = 0;
};

}  // namespace parley::link::test

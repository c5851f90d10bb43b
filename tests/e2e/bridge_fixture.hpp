#pragma once

// The whole bridge with real processes, shared by the end-to-end tests:
// Claude Code 2.1.222 in a private tmux pane whose hooks were registered by
// the real `parley hooks install`, the real `parley run` on a free port with
// a scripted `tailscale` first on PATH, a device paired with the real
// `parley pair`, and a WebSocket client playing that phone over loopback.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "claude_code_session.hpp"
#include "parley_process.hpp"
#include "protocol/envelope.hpp"
#include "support/phone_client.hpp"

namespace parley::test {
namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using protocol::ServerEnvelope;
using protocol::SessionState;

using namespace e2e;

// The phone: a real WebSocket client that keeps every envelope it reads, in
// order, so a test can wait for one message and look at the others later.
class Phone {
 public:
  explicit Phone(std::uint16_t port) : client_(port) {}

  // Sends the hello and reads its answer.
  protocol::HelloAck hello(const std::string& token,
                           std::optional<std::uint64_t> lastSeq = std::nullopt) {
    client_.sendHello(token, lastSeq);
    const auto ack = waitFor<protocol::HelloAck>("the hello_ack", 30s);
    if (!ack)
      return {};
    helloSeq_ = taken_.back().seq;
    return *ack;
  }
  // The seq of the hello_ack's envelope: the server's latest at the handshake.
  std::uint64_t helloSeq() const { return helloSeq_; }

  void send(const protocol::ClientMessage& message) { client_.send(message); }

  // The next envelope not yet taken.
  std::optional<ServerEnvelope> next(std::chrono::milliseconds timeout) {
    if (inbox_.empty()) {
      const auto incoming = client_.next(timeout);
      if (incoming.kind != PhoneClient::Incoming::Kind::message) {
        ADD_FAILURE() << "the phone expected a message, got "
                      << (incoming.kind == PhoneClient::Incoming::Kind::closed
                              ? "close " + std::to_string(incoming.closeCode)
                              : "failure: " + incoming.error)
                      << "\nreceived so far: " << received();
        return std::nullopt;
      }
      try {
        keep(ServerEnvelope::decode(incoming.text));
      } catch (const std::exception& e) {
        ADD_FAILURE() << "undecodable server frame " << incoming.text << ": " << e.what();
        return std::nullopt;
      }
    }
    ServerEnvelope envelope = inbox_.front();
    inbox_.pop_front();
    return envelope;
  }

  // Reads until a message of type T for which `match` holds; every envelope
  // read on the way stays in `taken()`.
  template <class T>
  std::optional<T> waitFor(
      const std::string& what, std::chrono::milliseconds timeout = 60s,
      const std::function<bool(const T&)>& match = [](const T&) { return true; }) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left <= 0ms) {
        ADD_FAILURE() << "the phone did not receive " << what << "\nreceived: " << received();
        return std::nullopt;
      }
      const auto envelope = next(left);
      if (!envelope) {
        ADD_FAILURE() << "while waiting for " << what;
        return std::nullopt;
      }
      taken_.push_back(*envelope);
      if (const T* value = std::get_if<T>(&envelope->message); value && match(*value))
        return *value;
    }
  }

  // Polls `condition` while reading the phone now and then, so the server's
  // keep-alive pings are answered however long the wait.
  bool keepAliveUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout,
                      const std::string& what) {
    auto lastRead = std::chrono::steady_clock::now();
    const bool held = waitUntil(
        [&] {
          if (condition())
            return true;
          if (std::chrono::steady_clock::now() - lastRead > 1s) {
            for (auto& envelope : client_.untilPong("keep-alive"))
              keep(std::move(envelope));
            lastRead = std::chrono::steady_clock::now();
          }
          return false;
        },
        timeout, 20ms);
    if (!held)
      ADD_FAILURE() << "timed out waiting for " << what;
    return held;
  }

  // Everything sent so far has been handled by the server, and what it
  // answered is in the inbox.
  void sync() {
    for (auto& envelope : client_.untilPong("sync"))
      keep(std::move(envelope));
  }

  // Envelopes handed out by waitFor, in arrival order.
  const std::vector<ServerEnvelope>& taken() const { return taken_; }
  // Every envelope read from the connection, taken or not.
  const std::vector<ServerEnvelope>& all() const { return all_; }
  // The highest sequence number seen.
  std::uint64_t lastSeq() const { return lastSeq_; }
  // The error messages received, whenever they came.
  const std::vector<protocol::Failure>& failures() const { return failures_; }

  std::string received() const {
    std::string text;
    for (const auto& e : all_)
      text += "\n  " + e.encode().substr(0, 400);
    return text;
  }

 private:
  void keep(ServerEnvelope envelope) {
    lastSeq_ = std::max(lastSeq_, envelope.seq);
    if (const auto* failure = std::get_if<protocol::Failure>(&envelope.message))
      failures_.push_back(*failure);
    all_.push_back(envelope);
    inbox_.push_back(std::move(envelope));
  }

  PhoneClient client_;
  std::deque<ServerEnvelope> inbox_;
  std::vector<ServerEnvelope> taken_;
  std::vector<ServerEnvelope> all_;
  std::vector<protocol::Failure> failures_;
  std::uint64_t lastSeq_ = 0;
  std::uint64_t helloSeq_ = 0;
};

inline std::string failuresText(const std::vector<protocol::Failure>& failures) {
  std::string text;
  for (const auto& f : failures)
    text += "\n  " + f.code + ": " + f.message;
  return text;
}

// Our session's descriptor in a session list.
std::optional<protocol::SessionDescriptor> find(
    const std::vector<protocol::SessionDescriptor>& sessions, const std::string& sessionID) {
  for (const auto& d : sessions)
    if (d.sessionID == sessionID)
      return d;
  return std::nullopt;
}

template <class T>
std::vector<std::pair<std::uint64_t, T>> ofType(const std::vector<ServerEnvelope>& envelopes) {
  std::vector<std::pair<std::uint64_t, T>> out;
  for (const auto& e : envelopes)
    if (const T* value = std::get_if<T>(&e.message))
      out.emplace_back(e.seq, *value);
  return out;
}

class Bridge : public ParleyDesk {
 protected:
  void SetUp() override {
    PARLEY_REQUIRE_CLAUDE_CODE();
    putTailscaleOnPath();

    ClaudeCodeOptions options;
    // Claude Code reads its hook registrations when it starts, so the real
    // installer runs on the fresh HOME first.
    options.prepareHome = [this](const fs::path& home) {
      const ProcessResult installed =
          runProcess({binPath("parley").string(), "hooks", "install"}, environment(home));
      if (!installed.ok())
        throw std::runtime_error("parley hooks install failed: " + installed.err);
      hooksInstallOutput_ = installed.out;
    };
    claude_ = std::make_unique<ClaudeCodeSession>(options);
    home_ = claude_->home();

    // The application finds the session through the file Claude Code writes
    // for its process.
    sessionID_ = claude_->waitForSessionID();
    ASSERT_FALSE(sessionID_.empty()) << "no session id in " << claude_->sessionFilePath();

    port_ = freePort();
    std::vector<std::string> arguments;
    std::map<std::string, std::string> env = environment(home_);
    beforeRun(arguments, env);
    app_ = std::make_unique<ParleyApp>(env, port_, scratch_.path(), arguments);
    ASSERT_TRUE(app_->waitForOutput("listening on :" + std::to_string(port_)))
        << "parley run did not start listening";
    ASSERT_TRUE(app_->waitForOutput("hook socket listening at "));

    const ProcessResult paired =
        parley({"pair", "--name", "Phone", "--json", "--port", std::to_string(port_)});
    ASSERT_TRUE(paired.ok()) << paired.err;
    token_ = std::string(json::parse(paired.out).at("token").as_string());

    phone_ = std::make_unique<Phone>(port_);
    helloAck_ = phone_->hello(token_);
    // Log lines name the session by the name Claude Code derived for it.
    if (const auto session = find(helloAck_.sessions, sessionID_))
      label_ = session->displayName.value_or(claude_->projectDir().filename().string());
  }

  void TearDown() override {
    phone_.reset();
    if (HasFailure() && claude_)
      std::cerr << "---- Claude Code's screen\n" << claude_->screen() << "----\n";
    // The log goes last: a long failure is often read from its end.
    if (app_) {
      EXPECT_EQ(app_->stop(), 0) << "parley run did not exit cleanly on SIGTERM";
      if (HasFailure())
        std::cerr << "---- parley run stdout\n"
                  << app_->output() << "---- parley run stderr\n"
                  << app_->errors() << "----\n";
    }
  }

  // What a fixture adds to `parley run`'s arguments and environment, with
  // the session's HOME ready.
  virtual void beforeRun(std::vector<std::string>&, std::map<std::string, std::string>&) {}

  // The request for the next dialog of this session.
  std::optional<protocol::PermissionRequest> nextRequest(const std::string& what) {
    return phone_->waitFor<protocol::PermissionRequest>(
        what, 60s, [&](const protocol::PermissionRequest& r) { return r.sessionID == sessionID_; });
  }

  std::optional<protocol::PermissionResolved> resolutionOf(const protocol::PermissionRequest& r) {
    return phone_->waitFor<protocol::PermissionResolved>(
        "the end of request " + r.requestID, 60s,
        [&](const protocol::PermissionResolved& x) { return x.requestID == r.requestID; });
  }

  // Our session as the phone saw it in its latest session list.
  std::optional<protocol::SessionDescriptor> latestDescriptor() const {
    const auto updates = ofType<protocol::SessionUpdate>(phone_->taken());
    if (updates.empty())
      return std::nullopt;
    return find(updates.back().second.sessions, sessionID_);
  }

  protocol::SubmitPrompt prompt(const std::string& text) {
    return {.clientMsgID = "prompt-" + std::to_string(++messages_),
            .sessionID = sessionID_,
            .text = text,
            .submit = true};
  }

  // Asks for the pane's text until `predicate` holds, as a phone watching the
  // screen would.
  std::optional<protocol::PaneSnapshot> paneUntil(
      const std::function<bool(const std::string&)>& predicate, const std::string& what) {
    std::optional<protocol::PaneSnapshot> last;
    const bool seen = waitUntil(
        [&] {
          phone_->send(protocol::GetPane{.sessionID = sessionID_, .lines = 0});
          last = phone_->waitFor<protocol::PaneSnapshot>("a pane snapshot", 30s);
          return !last || predicate(last->text);
        },
        60s, 50ms);
    if (!seen || !last || !predicate(last->text)) {
      ADD_FAILURE() << "the pane never showed " << what << "; last snapshot:\n"
                    << (last ? last->text : "(none)");
      return std::nullopt;
    }
    return last;
  }

  std::string hooksInstallOutput_;
  std::unique_ptr<ClaudeCodeSession> claude_;
  std::string sessionID_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ParleyApp> app_;
  std::string token_;
  std::unique_ptr<Phone> phone_;
  protocol::HelloAck helloAck_;
  std::string label_;
  int messages_ = 0;
};

}  // namespace
}  // namespace parley::test

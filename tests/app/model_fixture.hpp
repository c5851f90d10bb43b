#pragma once

// The model on a main context of its own thread, with a temporary HOME, a
// scripted `tailscale`, and its phone server on a free loopback port; the
// helpers its tests share.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <future>
#include <mutex>
#include <thread>

#include "app/app_model.hpp"
#include "link/pairing.hpp"
#include "protocol/hook_payload.hpp"
#include "support/phone_client.hpp"
#include "support/test_support.hpp"

namespace parley::app::test_model {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using protocol::HookPayload;
using test::PhoneClient;

// Counts what the model asks of the platform's idle-sleep inhibitor; the real
// logind one is tested against a D-Bus stand-in in the desktop tests.
struct InhibitorCounts {
  std::atomic<int> takes{0}, drops{0};
};

class CountingInhibitor : public desktop::PowerInhibitor {
 public:
  explicit CountingInhibitor(std::shared_ptr<InhibitorCounts> counts)
      : counts_(std::move(counts)) {}
  void take() override { ++counts_->takes; }
  void drop() override { ++counts_->drops; }

 private:
  std::shared_ptr<InhibitorCounts> counts_;
};

class ModelTest : public ::testing::Test {
 protected:
  ModelTest()
      : home(dir / "home"),
        envHome("HOME", home.string()),
        envData("XDG_DATA_HOME", std::nullopt),
        envConfig("XDG_CONFIG_HOME", std::nullopt) {
    std::filesystem::create_directories(home);
    std::filesystem::create_directories(dir / "proc");
    setTailscale("Running");
    options.home = home;
    options.procRoot = dir / "proc";
    options.hookSocket = dir / "hook.sock";
    options.phoneLink.devicesFile = dir / "data" / "devices.json";
    options.phoneLink.preferencesFile = dir / "config" / "preferences.json";
    options.phoneLink.tailscaleExecutable = (dir / "tailscale").string();
    options.executableDirectory = PARLEY_BIN_DIR;
    options.phoneLink.server.port = 0;
    options.phoneLink.server.bindAddress = "127.0.0.1";
    options.phoneLink.server.serverVersion = "test";
    options.sweepInterval = 1h;
    options.power.makeInhibitor = [counts = inhibitor] {
      return std::make_unique<CountingInhibitor>(counts);
    };
    options.power.watchSystemSleep = false;
    options.watchPresence = false;
  }

  // Runs `f` on the model's thread and returns its result, if any.
  template <class F>
  auto onModel(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    asio::post(main, [&task] { task(); });
    return result.get();
  }

  // A snapshot of the model's state, taken on its thread.
  AppState state() {
    return onModel([this] { return model->snapshot(); });
  }

  ~ModelTest() override {
    if (model)
      onModel([this] { model.reset(); });
    work.reset();
    if (mainThread.joinable())
      mainThread.join();
    terminal.join();
    workers.join();
  }

  // `state` is the backend state the stand-in reports; "fail" makes status
  // fail, and serveFails makes `tailscale serve` fail.
  void setTailscale(const std::string& state, bool serveFails = false) {
    const std::string status = state == "fail"
                                   ? "echo 'failed to connect to local tailscaled' >&2; exit 1"
                                   : "echo '{\"BackendState\":\"" + state +
                                         "\",\"Self\":{\"DNSName\":\"desk.tail1234.ts.net.\","
                                         "\"TailscaleIPs\":[\"100.64.0.7\"]}}'";
    test::writeFile(dir / "tailscale",
                    "#!/bin/sh\ncase \"$1\" in\n  status) " + status + ";;\n  serve) " +
                        (serveFails ? "echo 'serve config denied' >&2; exit 1" : "exit 0") +
                        ";;\nesac\n");
    ::chmod((dir / "tailscale").c_str(), 0755);
  }

  void start(std::unique_ptr<desktop::DesktopVoice> voice = nullptr) {
    model = AppModel::create(main, workers.get_executor(), terminal.get_executor(), options,
                             std::move(voice));
    model->onLogEntry = [this](const LogEntry& e) {
      std::lock_guard lock(mutex);
      logged.push_back(e);
    };
    model->start();
    mainThread = std::thread([this] { main.run(); });
    ASSERT_TRUE(test::waitUntil([this] { return port() != 0; }));
  }

  std::uint16_t port() {
    const auto status = state().serverStatus;
    const auto* l = std::get_if<link::WebSocketServer::Listening>(&status);
    return l ? l->port : 0;
  }

  std::vector<std::string> texts(std::optional<LogEntry::Kind> kind = std::nullopt) {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& e : logged)
      if (!kind || e.kind == *kind)
        out.push_back(e.text);
    return out;
  }

  bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) {
    return test::waitUntil(
        [&] {
          const auto all = texts();
          return std::find(all.begin(), all.end(), text) != all.end();
        },
        timeout);
  }

  link::PairingStore pairing() const {
    return link::PairingStore("com.ketchworks.parley.pairing", options.phoneLink.devicesFile,
                              link::Preferences(*options.phoneLink.preferencesFile));
  }

  // A paired phone, connected and past its hello. The listener may be
  // restarting (after a wake or a revocation, possibly on a new port): like a
  // real phone, this one simply tries again.
  std::unique_ptr<PhoneClient> connectPhone(const std::string& name = "Pixel") {
    const std::string token = pairing().addDevice(name, link::makeUUID());
    std::unique_ptr<PhoneClient> phone;
    EXPECT_TRUE(test::waitUntil([&] {
      try {
        phone = std::make_unique<PhoneClient>(port());
        phone->sendHello(token);
        const auto answer = phone->next(2s);
        return answer.kind == PhoneClient::Incoming::Kind::message &&
               std::holds_alternative<protocol::HelloAck>(
                   protocol::ServerEnvelope::decode(answer.text).message);
      } catch (const std::exception&) {
        return false;
      }
    }));
    EXPECT_TRUE(waitForLog(name + " connected"));
    return phone;
  }

  void hook(HookPayload payload) {
    onModel([&] { model->handleHook(payload); });
  }

  test::TempDir dir;
  std::filesystem::path home;
  test::ScopedEnv envHome, envData, envConfig;
  std::shared_ptr<InhibitorCounts> inhibitor = std::make_shared<InhibitorCounts>();
  AppModel::Options options;
  asio::io_context main;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
      asio::make_work_guard(main)};
  asio::thread_pool workers{2};
  asio::thread_pool terminal{1};
  std::shared_ptr<AppModel> model;
  std::thread mainThread;
  std::mutex mutex;
  std::vector<LogEntry> logged;
};

// What the phone reads next, passing over vocabulary, which follows a new
// session list on its own schedule.
inline PhoneClient::Incoming nextPastVocab(PhoneClient& phone) {
  for (;;) {
    PhoneClient::Incoming in = phone.next();
    if (in.kind != PhoneClient::Incoming::Kind::message ||
        !std::holds_alternative<protocol::Vocab>(protocol::ServerEnvelope::decode(in.text).message))
      return in;
  }
}

template <class T>
T expectPastVocab(PhoneClient& phone) {
  const PhoneClient::Incoming in = nextPastVocab(phone);
  if (in.kind == PhoneClient::Incoming::Kind::message)
    if (const auto envelope = protocol::ServerEnvelope::decode(in.text);
        const T* value = std::get_if<T>(&envelope.message))
      return *value;
  ADD_FAILURE() << "expected " << T::kType << ", got " << in.text << in.error;
  return T{};
}

inline HookPayload event(HookPayload::Event e, std::optional<std::string> session = "s1") {
  HookPayload p(e);
  p.sessionID = std::move(session);
  p.cwd = "/home/dev/proj";
  p.tmuxPane = "%4";
  p.tmuxEnv = "/tmp/tmux-1000/default,4208,0";
  return p;
}

}  // namespace parley::app::test_model

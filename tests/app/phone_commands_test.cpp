// The phone link and the session driver together, as the application wires
// them: the WebSocket server's strand is never held up by a command that is
// waiting on a tmux pane.

#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_future.hpp>

#include "link/pairing.hpp"
#include "link/websocket_server.hpp"
#include "support/phone_client.hpp"
#include "support/test_support.hpp"
#include "support/tmux_server.hpp"
#include "terminal/session_driver.hpp"

namespace parley::app {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using test::PhoneClient;

TEST(PhoneCommands, APingIsAnsweredWhileAnInjectionWaitsForItsReadBack) {
  test::TempDir dir;
  test::TmuxServer tmux;
  // A box that never shows what is pasted into it: the injection waits out
  // its whole read-back window.
  const auto pane = tmux.newSession(
      {.argv = {test::binPath("input_box_stub").string(), (dir / "log").string(), "--ignore-paste"},
       .cwd = dir.path()});
  ASSERT_TRUE(tmux.waitForScreen(
      pane.id, [](const std::string& s) { return s.find("\u276f\u00a0") != std::string::npos; },
      10s));

  // One worker thread for the server and the registry, as little as the
  // application could have; the driver has its own.
  asio::thread_pool workers{1};
  asio::thread_pool driverThread{1};
  auto registry = std::make_shared<terminal::SessionRegistry>(
      workers.get_executor(), terminal::SessionSources::forHome(dir / "home", dir / "proc"));
  terminal::RegisteredSession session;
  session.descriptor.sessionID = "s1";
  session.descriptor.paneID = pane.id;
  session.descriptor.socketPath = tmux.socketPath().string();
  session.descriptor.cwd = "/home/dev/s1";
  session.descriptor.claudeVersion = "2.1.222";
  // Recent, so the refresh that answers the hello keeps it.
  session.descriptor.lastActivity = std::chrono::system_clock::now();
  session.isVersionSupported = true;
  registry->insert(session, asio::use_future).get();
  auto driver = std::make_shared<terminal::SessionDriver>(
      driverThread.get_executor(), registry, nullptr,
      terminal::SessionDriver::Options{std::chrono::milliseconds(5000), 25ms});

  link::PairingStore store("com.ketchworks.parley.pairing", dir / "devices.json",
                           link::Preferences(dir / "preferences.json"));
  const std::string token = store.addDevice("Pixel", "DEV-1");
  link::WebSocketServer::Configuration configuration;
  configuration.port = 0;
  configuration.bindAddress = "127.0.0.1";
  std::atomic<std::uint16_t> port{0};
  {
    link::WebSocketServer server(workers.get_executor(), configuration, store, driver);
    server.setOnStatusChange([&](const link::WebSocketServer::Status& s) {
      if (const auto* l = std::get_if<link::WebSocketServer::Listening>(&s))
        port = l->port;
    });
    server.start();
    ASSERT_TRUE(test::waitUntil([&] { return port != 0; }));

    PhoneClient phone(port);
    phone.sendHello(token);
    phone.expect<protocol::HelloAck>();
    phone.send(protocol::SubmitPrompt{.clientMsgID = "c1", .sessionID = "s1", .text = "hello"});
    phone.send(protocol::Ping{.nonce = "n1"});
    // The pong comes before the injection gives up on its read-back.
    EXPECT_EQ(phone.expect<protocol::Pong>().echo, "n1");
    const auto failure = phone.expect<protocol::Failure>();
    EXPECT_EQ(failure.code, "submit_failed");
    EXPECT_TRUE(failure.message.starts_with("input box never matched after paste."))
        << failure.message;
  }
  driverThread.join();
  workers.join();
}

}  // namespace
}  // namespace parley::app

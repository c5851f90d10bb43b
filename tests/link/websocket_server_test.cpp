// The WebSocket server's connection life: admission, the hello handshake,
// replay after a reconnect, one phone at a time, sleep and wake, and the
// listener's statuses. A real Beast client speaks to it on loopback.

#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <fstream>

#include "server_fixture.hpp"

namespace parley::link::test {
namespace {

using parley::test::waitUntil;
using Kind = PhoneClient::Incoming::Kind;

protocol::ServerMessage vocab(int n) {
  return protocol::Vocab{.sessionID = "s", .terms = {"term" + std::to_string(n)}};
}

// ---- handshake ---------------------------------------------------------------

TEST_F(ServerTest, AValidHelloIsAnsweredWithTheSessionsAndReported) {
  protocol::SessionDescriptor session;
  session.sessionID = "S1";
  session.cwd = "/home/me/app";
  commands->setSessions({session});
  startServer();
  EXPECT_TRUE(reports.hasLog("listening on :" + std::to_string(port) + " (Tailscale peers only)"));

  protocol::HelloAck ack;
  std::uint64_t seq = 99;
  auto client = connectAuthenticated(std::nullopt, &ack, &seq);
  EXPECT_EQ(seq, 0u);
  EXPECT_EQ(ack.serverVersion, "9.9");
  EXPECT_EQ(ack.resumedFromSeq, 0u);
  EXPECT_FALSE(ack.gap);
  EXPECT_EQ(ack.sessions, std::vector<protocol::SessionDescriptor>{session});

  const auto connected = reports.eventsOf<Server::Connected>();
  ASSERT_EQ(connected.size(), 1u);
  EXPECT_EQ(connected[0].device.deviceID, "DEV-1");
  EXPECT_TRUE(reports.hasLog("paired device “Pixel” authenticated"));
  EXPECT_TRUE(reports.hasLogStartingWith("peer 127.0.0.1:"));
  EXPECT_TRUE(server->hasAuthenticatedPeer());
  // The hello was recorded as the device's last sighting.
  ASSERT_EQ(store.devices().size(), 1u);
  EXPECT_TRUE(store.devices()[0].lastSeen.has_value());

  client->send(protocol::Hello{.token = token});
  client->untilPong();
  EXPECT_TRUE(reports.hasLog("ignoring duplicate hello"));
}

TEST_F(ServerTest, UnknownChangedAndRevokedTokensAreClosedWith4401) {
  startServer();
  std::string changed = token;
  changed[0] = changed[0] == 'x' ? 'y' : 'x';
  for (const std::string& bad : {std::string("not a token"), changed}) {
    PhoneClient client(port);
    client.sendHello(bad);
    EXPECT_EQ(client.expectClose(), 4401);
  }
  store.revoke("DEV-1");
  PhoneClient revoked(port);
  revoked.sendHello(token);
  EXPECT_EQ(revoked.expectClose(), 4401);

  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::RejectedToken>().size() == 3; }));
  EXPECT_TRUE(reports.hasLogStartingWith("hello rejected: bad token from 127.0.0.1:"));
  EXPECT_TRUE(reports.eventsOf<Server::Connected>().empty());
  EXPECT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::Disconnected>() ==
           std::vector<Server::Disconnected>(3, Server::Disconnected{"closed 4401"});
  }));
}

TEST_F(ServerTest, AFirstMessageThatIsNotAHelloIsClosedWith4401) {
  startServer();
  PhoneClient client(port);
  client.send(protocol::Ping{.nonce = "n"});
  EXPECT_EQ(client.expectClose(), 4401);
  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::RejectedToken>().size() == 1; }));
  EXPECT_TRUE(reports.hasLog("first frame was ping, not hello — closed 4401"));
}

TEST_F(ServerTest, SilencePastTheHelloDeadlineIsClosedWith4401EvenWithPongs) {
  auto configuration = testConfiguration();
  configuration.helloDeadline = 300ms;
  startServer(configuration);

  // Pongs are not a hello: they must not stop the hello deadline.
  PhoneClient client(port);
  client.sendPong();
  client.sendPong();
  EXPECT_EQ(client.expectClose(), 4401);

  // A bare TCP connection that never even upgrades is cut off too.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket raw(io);
  raw.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  char byte;
  boost::system::error_code ec;
  boost::asio::read(raw, boost::asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, boost::asio::error::eof);

  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::Disconnected>().size() == 2; }));
  for (const auto& d : reports.eventsOf<Server::Disconnected>())
    EXPECT_EQ(d.reason, "closed 4401");
  EXPECT_TRUE(reports.eventsOf<Server::RejectedToken>().empty());
}

TEST_F(ServerTest, AuthenticatingInTimeEndsTheHelloDeadline) {
  auto configuration = testConfiguration();
  configuration.helloDeadline = 200ms;
  startServer(configuration);
  auto client = connectAuthenticated();
  // Well past the deadline the connection still answers.
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < 400ms)
    EXPECT_TRUE(client->untilPong().empty());
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
}

TEST_F(ServerTest, AnyWireVersionOtherThanOneIsClosedWith4400) {
  startServer();
  PhoneClient client(port);
  client.send(protocol::Hello{.token = token}, /*version=*/2);
  EXPECT_EQ(client.expectClose(), 4400);
  EXPECT_TRUE(
      waitUntil([&] { return reports.hasLog("client wire version 2 != 1 — closed 4400"); }));
  EXPECT_TRUE(reports.eventsOf<Server::Connected>().empty());
}

TEST_F(ServerTest, BadFramesBeforeTheHelloAreLoggedAndIgnored) {
  startServer();
  PhoneClient client(port);
  client.sendText("{not json");
  client.sendBinary(std::string("\x00\xff\xfe garbage", 11));
  client.sendText(R"({"v":1,"ts":"2025-01-31T09:15:00Z","type":"teleport","payload":{}})");
  client.sendText("");  // an empty message is not even a frame to decode
  client.sendHello(token);
  client.expect<protocol::HelloAck>();
  EXPECT_TRUE(reports.hasLogStartingWith("undecodable client frame (9B): "));
  EXPECT_TRUE(reports.hasLogStartingWith("undecodable client frame (11B): "));
  EXPECT_TRUE(
      reports.hasLog("undecodable client frame (66B): unknown wire message type: teleport"));
  // A binary message is read like a text one.
  client.sendBinary(protocol::ClientEnvelope({}, protocol::Ping{.nonce = "b"}).encode());
  EXPECT_EQ(client.expect<protocol::Pong>().echo, "b");
}

TEST_F(ServerTest, AnOversizedMessageEndsOnlyThatConnection) {
  startServer();
  {
    auto client = connectAuthenticated();
    client->sendText(std::string(4 * 1024 * 1024 + 1, 'x'));
    const auto end = client->next();
    EXPECT_NE(end.kind, Kind::message);
    if (end.kind == Kind::closed) {
      EXPECT_EQ(end.closeCode, 1009);  // message too big
    }
  }
  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::Disconnected>().size() == 1; }));
  EXPECT_EQ(reports.eventsOf<Server::Disconnected>()[0].reason.rfind("receive error: ", 0), 0u);
  // A message of exactly the limit is accepted.
  auto client = connectAuthenticated();
  client->sendText(std::string(4 * 1024 * 1024, ' '));
  client->untilPong();
  EXPECT_TRUE(reports.hasLogStartingWith("undecodable client frame (4194304B): "));
}

// ---- one phone at a time -----------------------------------------------------------

TEST_F(ServerTest, ANewConnectionReplacesTheCurrentOneWith4409) {
  startServer();
  auto first = connectAuthenticated();
  auto second = std::make_unique<PhoneClient>(port);
  EXPECT_EQ(first->expectClose(), 4409);
  EXPECT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::Disconnected>() ==
           std::vector<Server::Disconnected>{{"closed 4409"}};
  }));
  second->sendHello(token);
  second->expect<protocol::HelloAck>();
  publishAndWait(vocab(1));
  EXPECT_EQ(std::get<protocol::Vocab>(second->expectEnvelope().message).terms[0], "term1");
  EXPECT_TRUE(server->hasAuthenticatedPeer());
}

// ---- replay ---------------------------------------------------------------------

class ReplayTest : public ServerTest {
 protected:
  void SetUp() override {
    startServer();
    for (int i = 1; i <= 10; ++i)
      server->publish(vocab(i));  // nobody connected: kept in the ring only
    ASSERT_TRUE(waitUntil([&] { return server->latestSeq() == 10; }));
  }
};

TEST_F(ReplayTest, AFirstConnectionResumesAtTheLatestSeqWithNothingReplayed) {
  protocol::HelloAck ack;
  std::uint64_t seq = 0;
  auto client = connectAuthenticated(std::nullopt, &ack, &seq);
  EXPECT_EQ(seq, 10u);
  EXPECT_EQ(ack.resumedFromSeq, 10u);
  EXPECT_FALSE(ack.gap);
  EXPECT_TRUE(client->untilPong().empty());
}

TEST_F(ReplayTest, AReconnectGetsWhatItMissedWithTheOriginalNumbers) {
  protocol::HelloAck ack;
  std::uint64_t seq = 0;
  auto client = connectAuthenticated(7, &ack, &seq);
  EXPECT_EQ(seq, 10u);
  EXPECT_EQ(ack.resumedFromSeq, 7u);
  EXPECT_FALSE(ack.gap);
  const auto replayed = client->untilPong();
  ASSERT_EQ(replayed.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(replayed[i].seq, 8 + i);
    EXPECT_EQ(replayed[i].message, vocab(static_cast<int>(8 + i)));
  }
  // Live messages continue the numbering.
  publishAndWait(vocab(11));
  EXPECT_EQ(client->expectEnvelope().seq, 11u);
  EXPECT_FALSE(reports.hasLogStartingWith("client resumed past the ring"));
}

TEST_F(ReplayTest, APhoneAheadOfTheServerIsToldItHasAGap) {
  protocol::HelloAck ack;
  auto client = connectAuthenticated(50, &ack);
  EXPECT_TRUE(ack.gap);
  EXPECT_EQ(ack.resumedFromSeq, 10u);
  EXPECT_TRUE(client->untilPong().empty());
  EXPECT_TRUE(reports.hasLog("client resumed past the ring — sent gap:true, 0 replayed"));
}

TEST_F(ServerTest, APhoneBehindTheRingIsToldItHasAGap) {
  auto configuration = testConfiguration();
  configuration.ringCapacity = 3;
  startServer(configuration);
  publishAndWait(vocab(0), 10);
  protocol::HelloAck ack;
  auto client = connectAuthenticated(6, &ack);
  EXPECT_TRUE(ack.gap);
  EXPECT_EQ(ack.resumedFromSeq, 10u);
  EXPECT_TRUE(client->untilPong().empty());
  // One message later it could have resumed.
  auto again = connectAuthenticated(7, &ack);
  EXPECT_FALSE(ack.gap);
  EXPECT_EQ(again->untilPong().size(), 3u);
}

// ---- lifecycle ----------------------------------------------------------------------

TEST_F(ServerTest, StopClosesThePhoneWithTheGivenCodeAndStopsListening) {
  startServer();
  auto client = connectAuthenticated();
  server->stop(1001, "device revoked");
  EXPECT_EQ(client->expectClose(), 1001);
  EXPECT_TRUE(waitUntil([&] { return reports.hasLog("server stopped: device revoked"); }));
  EXPECT_EQ(reports.eventsOf<Server::Disconnected>(),
            std::vector<Server::Disconnected>{{"closed 1001"}});
  EXPECT_EQ(server->status(), Server::Status(Server::Stopped{}));
  EXPECT_THROW(PhoneClient{port}, boost::system::system_error);

  server->start();
  EXPECT_TRUE(
      waitUntil([&] { return std::holds_alternative<Server::Listening>(server->status()); }));
}

TEST_F(ServerTest, SleepClosesThePhoneSilentlyAndWakeRestartsTheListener) {
  startServer();
  auto client = connectAuthenticated();
  publishAndWait(vocab(1));
  EXPECT_EQ(client->expectEnvelope().seq, 1u);

  server->closeForSleep();
  EXPECT_EQ(client->expectClose(), 1001);
  EXPECT_TRUE(
      waitUntil([&] { return reports.hasLog("connection closed 1001 (system sleeping)"); }));
  EXPECT_FALSE(server->hasAuthenticatedPeer());
  publishAndWait(vocab(2));  // while asleep: only kept in the ring

  server->resumeAfterWake();
  EXPECT_TRUE(waitUntil([&] {
    const auto history = reports.statusHistory();
    return history.size() >= 3 && std::holds_alternative<Server::Listening>(history.back());
  }));
  const auto history = reports.statusHistory();
  EXPECT_TRUE(std::holds_alternative<Server::Stopped>(history[history.size() - 3]));
  EXPECT_TRUE(std::holds_alternative<Server::Starting>(history[history.size() - 2]));
  EXPECT_TRUE(reports.hasLog("waking: restarting listener"));
  // The closed phone was forgotten at sleep, so nothing reported it gone.
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());

  port = std::get<Server::Listening>(history.back()).port;
  auto again = connectAuthenticated(1);
  const auto replayed = again->untilPong();
  ASSERT_EQ(replayed.size(), 1u);
  EXPECT_EQ(replayed[0].seq, 2u);
}

TEST_F(ServerTest, APortInUseFailsWithTheSystemsText) {
  startServer();
  auto configuration = testConfiguration();
  configuration.port = port;
  Server second(io_.get_executor(), configuration, store);
  std::mutex mutex;
  std::vector<Server::Status> statuses;
  second.setOnStatusChange([&](const Server::Status& s) {
    std::lock_guard lock(mutex);
    statuses.push_back(s);
  });
  second.start();
  ASSERT_TRUE(waitUntil([&] {
    std::lock_guard lock(mutex);
    return statuses.size() == 2;
  }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(statuses[0], Server::Status(Server::Starting{}));
  EXPECT_EQ(statuses[1], Server::Status(Server::Failed{"Address already in use"}));
}

// Binding a privileged port without the privilege is the Linux counterpart of
// being denied local-network access. Runs in a child process that drops root.
TEST(ServerListener, APermissionDeniedBindIsReportedAsLocalNetworkDenied) {
  int firstUnprivileged = 1024;
  std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> firstUnprivileged;
  if (firstUnprivileged <= 80)
    GTEST_SKIP() << "this system lets anyone bind port 80";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      ::_exit(3);
    boost::asio::io_context io;
    Server::Configuration configuration;
    configuration.port = 80;
    configuration.bindAddress = "127.0.0.1";
    Server server(io.get_executor(), configuration,
                  PairingStore("svc", "/nonexistent/devices.json", Preferences("/nonexistent/p")));
    int result = 2;
    server.setOnStatusChange([&](const Server::Status& s) {
      if (std::holds_alternative<Server::LocalNetworkDenied>(s))
        result = 0;
      else if (!std::holds_alternative<Server::Starting>(s))
        result = 1;
    });
    server.start();
    io.run_for(5s);
    ::_exit(result);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: another status, 2: no status, 3: cannot drop root";
}

TEST_F(ServerTest, TheAddressFilterRefusesForeignPeersBeforeAnyHandshake) {
  auto configuration = testConfiguration();
  configuration.addressFilter = [](std::string_view address) { return address != "127.0.0.1"; };
  startServer(configuration);
  EXPECT_ANY_THROW(PhoneClient{port});
  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::RejectedAddress>().size() == 1; }));
  const std::string remote = reports.eventsOf<Server::RejectedAddress>()[0].remote;
  EXPECT_EQ(remote.rfind("127.0.0.1:", 0), 0u);
  EXPECT_TRUE(reports.hasLog("refused non-Tailscale peer " + remote));
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
}

TEST_F(ServerTest, WithoutTheFilterEveryAddressIsAdmitted) {
  auto configuration = testConfiguration();
  configuration.addressFilter = [](std::string_view) { return false; };
  configuration.enforceTailscaleFilter = false;
  startServer(configuration);
  connectAuthenticated();
  EXPECT_TRUE(reports.eventsOf<Server::RejectedAddress>().empty());
}

}  // namespace
}  // namespace parley::link::test

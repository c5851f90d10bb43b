// The WebSocket server's connection life: admission, the hello handshake,
// replay after a reconnect, one phone at a time, sleep and wake, and the
// listener's statuses. A real Beast client speaks to it on loopback.

#include <sys/stat.h>
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
  const protocol::SessionDescriptor session{.sessionID = "S1", .cwd = "/home/me/app"};
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
  EXPECT_TRUE(server->hasAuthenticatedPeer());
  // The hello was recorded as the device's last sighting.
  ASSERT_EQ(store.devices().size(), 1u);
  EXPECT_TRUE(store.devices()[0].lastSeen.has_value());

  client->send(protocol::Hello{.token = token});
  client->untilPong();
  EXPECT_TRUE(reports.hasLog("ignoring duplicate hello"));
}

TEST_F(ServerTest, AFirstMessageThatIsNotAGoodHelloIsClosed) {
  startServer();
  std::string changed = token;
  changed[0] = changed[0] == 'x' ? 'y' : 'x';
  struct Case {
    protocol::ClientMessage message;
    std::int64_t version;
    std::uint16_t code;
    std::string log;
  };
  const std::vector<Case> cases = {
      {protocol::Hello{.token = "not a token"}, 1, 4401,
       "hello rejected: bad token from 127.0.0.1:"},
      {protocol::Hello{.token = changed}, 1, 4401, "hello rejected: bad token from 127.0.0.1:"},
      {protocol::Ping{.nonce = "n"}, 1, 4401, "first frame was ping, not hello — closed 4401"},
      {protocol::Hello{.token = token}, 2, 4400, "client wire version 2 != 1 — closed 4400"},
  };
  for (const auto& [message, version, code, log] : cases) {
    SCOPED_TRACE(log);
    PhoneClient client(port);
    client.send(message, version);
    EXPECT_EQ(client.expectClose(), code);
    EXPECT_TRUE(waitUntil([&] { return reports.hasLogStartingWith(log); }));
  }
  store.revoke("DEV-1");
  PhoneClient revoked(port);
  revoked.sendHello(token);
  EXPECT_EQ(revoked.expectClose(), 4401);

  EXPECT_TRUE(waitUntil([&] { return reports.eventsOf<Server::RejectedToken>().size() == 4; }));
  // None of them was ever the phone.
  EXPECT_TRUE(waitUntil([&] { return reports.countLogsContaining("before its hello") == 5; }));
  EXPECT_TRUE(reports.eventsOf<Server::Connected>().empty());
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
}

TEST_F(ServerTest, SilencePastTheHelloDeadlineIsClosedWith4401EvenWithPongs) {
  auto configuration = testConfiguration();
  configuration.helloDeadline = 300ms;
  startServer(configuration);
  auto phone = connectAuthenticated();

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

  EXPECT_TRUE(
      waitUntil([&] { return reports.countLogsContaining("before its hello: closed 4401") == 2; }));
  EXPECT_TRUE(reports.eventsOf<Server::RejectedToken>().empty());
  // The phone that authenticated in time outlived the deadline.
  EXPECT_TRUE(phone->untilPong().empty());
  EXPECT_TRUE(reports.eventsOf<Server::Disconnected>().empty());
}

TEST_F(ServerTest, RevokingOrRePairingTheDeviceElsewhereEndsItsConnectionAtOnce) {
  startServer();
  auto client = connectAuthenticated();
  // Another process notes a sighting: the file is rewritten, the phone stays.
  PairingStore other(store.service(), store.file(), Preferences(dir / "preferences.json"));
  other.markSeen("DEV-1", std::chrono::system_clock::now());
  other.addDevice("Tablet", "DEV-2");
  EXPECT_TRUE(client->untilPong().empty());

  // A store that cannot be read is no verdict on the token: the phone stays,
  // and a hello meanwhile is asked to come back, not told to pair again.
  // (Swapped in whole: a store that is briefly missing holds no devices.)
  const std::string saved = parley::test::readFile(store.file());
  std::filesystem::create_symlink(store.file().filename(), dir / "loop");
  std::filesystem::rename(dir / "loop", store.file());
  EXPECT_TRUE(waitUntil([&] { return reports.hasLogStartingWith("device store unreadable"); }));
  PhoneClient meanwhile(port);
  meanwhile.sendHello(token);
  EXPECT_EQ(meanwhile.expectClose(), 1013);
  EXPECT_TRUE(client->untilPong().empty());
  parley::test::writeFile(dir / "restored", saved);
  std::filesystem::rename(dir / "restored", store.file());

  // Pairing the same id again replaces its token; revoking removes it.
  for (const bool rePair : {true, false}) {
    SCOPED_TRACE(rePair ? "re-paired" : "revoked");
    auto phone = rePair ? std::move(client) : connectAuthenticated();
    if (rePair)
      token = other.addDevice("Pixel", "DEV-1");
    else
      other.revoke("DEV-1");
    EXPECT_EQ(phone->expectClose(), 1001);
  }
  EXPECT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::Disconnected>() ==
           std::vector<Server::Disconnected>(2, Server::Disconnected{"closed 1001"});
  }));
  EXPECT_TRUE(reports.hasLog("device “Pixel” no longer paired — closed 1001"));
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

TEST_F(ServerTest, FramesOverTheLimitEndOnlyThatConnectionAndTheLimitIsSmallBeforeTheHello) {
  startServer();
  struct Case {
    bool authenticated;
    std::size_t size;
    bool accepted;
  };
  const std::vector<Case> cases = {{false, 64 * 1024 + 1, false},
                                   {false, 64 * 1024, true},
                                   {true, 4 * 1024 * 1024 + 1, false},
                                   {true, 4 * 1024 * 1024, true}};
  for (const auto& [authenticated, size, accepted] : cases) {
    SCOPED_TRACE(std::to_string(size) + (authenticated ? " after" : " before") + " the hello");
    auto client = authenticated ? connectAuthenticated() : std::make_unique<PhoneClient>(port);
    client->sendText(std::string(size, ' '));
    if (accepted) {
      if (!authenticated)
        client->sendHello(token);
      client->untilPong();
      EXPECT_TRUE(
          reports.hasLogStartingWith("undecodable client frame (" + std::to_string(size) + "B): "));
      continue;
    }
    const auto end = client->next();
    ASSERT_EQ(end.kind, Kind::closed);
    EXPECT_EQ(end.closeCode, 1009);  // message too big
    if (authenticated) {
      EXPECT_TRUE(waitUntil([&] {
        const auto gone = reports.eventsOf<Server::Disconnected>();
        return !gone.empty() && gone.back().reason.starts_with("receive error: ");
      }));
    }
  }
}

// ---- one phone at a time -----------------------------------------------------------

TEST_F(ServerTest, OnlyANewcomerWhoseHelloAuthenticatesReplacesThePhone) {
  startServer();
  auto first = connectAuthenticated();
  // A bare TCP connect, a WebSocket that says nothing and a bad token cost
  // the phone nothing.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket raw(io);
  raw.connect({boost::asio::ip::make_address("127.0.0.1"), port});
  PhoneClient silent(port);
  PhoneClient impostor(port);
  impostor.sendHello("not the token");
  EXPECT_EQ(impostor.expectClose(), 4401);
  EXPECT_TRUE(first->untilPong().empty());
  EXPECT_TRUE(server->hasAuthenticatedPeer());

  auto second = connectAuthenticated();
  EXPECT_EQ(first->expectClose(), 4409);
  EXPECT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::Disconnected>() ==
           std::vector<Server::Disconnected>{{"closed 4409"}};
  }));
  publishAndWait(vocab(1));
  EXPECT_EQ(std::get<protocol::Vocab>(second->expectEnvelope().message).terms[0], "term1");
}

// Strangers' connects cost the phone nothing: bare sockets make way for each
// other before a WebSocket that may say hello, and whoever makes way is told
// to try again (1013), never that another phone took over (4409), after
// which the phone would stop reconnecting.
TEST_F(ServerTest, WaitingConnectionsAreBoundedAndTheOneMakingWayIsToldToRetry) {
  auto configuration = testConfiguration();
  configuration.maxUnauthenticatedPeers = 2;
  startServer(configuration);
  std::size_t upgraded = 0;
  // A frame read proves the server has upgraded the connection.
  const auto connectUpgraded = [&] {
    auto client = std::make_unique<PhoneClient>(port);
    client->sendText("{");
    ++upgraded;
    EXPECT_TRUE(waitUntil(
        [&] { return reports.countLogsContaining("undecodable client frame") == upgraded; }));
    return client;
  };

  auto phone = connectUpgraded();
  boost::asio::io_context io;
  std::vector<boost::asio::ip::tcp::socket> bare;
  for (int i = 0; i < 6; ++i) {
    bare.emplace_back(io).connect({boost::asio::ip::make_address("127.0.0.1"), port});
  }
  EXPECT_TRUE(waitUntil(
      [&] { return reports.countLogsContaining("too many connections awaiting hello") == 5; }));
  phone->sendHello(token);
  phone->expect<protocol::HelloAck>();

  // WebSockets only: the oldest makes way.
  auto oldest = connectUpgraded();
  auto middle = connectUpgraded();
  auto newest = connectUpgraded();
  EXPECT_EQ(oldest->expectClose(), 1013);
  EXPECT_EQ(reports.countLogsContaining("with 4409"), 0u);
  newest->sendHello(token);
  newest->expect<protocol::HelloAck>();
  EXPECT_EQ(phone->expectClose(), 4409);
}

// ---- replay ---------------------------------------------------------------------

TEST_F(ServerTest, AReconnectGetsWhatItMissedOrIsToldOfTheGap) {
  auto configuration = testConfiguration();
  configuration.ringCapacity = 5;
  startServer(configuration);
  for (int i = 1; i <= 10; ++i)
    server->publish(vocab(i));  // nobody connected: kept in the ring only (6 to 10)
  ASSERT_TRUE(waitUntil([&] { return server->latestSeq() == 10; }));
  struct Case {
    std::optional<std::uint64_t> lastSeq;
    bool gap;
    std::uint64_t resumedFromSeq;
    std::size_t replayed;
  };
  for (const auto& [lastSeq, gap, resumed, replayed] :
       std::vector<Case>{{std::nullopt, false, 10, 0},  // a first connection
                         {7, false, 7, 3},
                         {5, false, 5, 5},
                         {4, true, 10, 0},      // behind the ring
                         {50, true, 10, 0}}) {  // ahead of the server (it restarted)
    SCOPED_TRACE(lastSeq ? std::to_string(*lastSeq) : "none");
    protocol::HelloAck ack;
    std::uint64_t seq = 0;
    auto client = connectAuthenticated(lastSeq, &ack, &seq);
    EXPECT_EQ(seq, 10u);
    EXPECT_EQ(ack.gap, gap);
    EXPECT_EQ(ack.resumedFromSeq, resumed);
    const auto got = client->untilPong();
    ASSERT_EQ(got.size(), replayed);
    for (std::size_t i = 0; i < replayed; ++i) {
      EXPECT_EQ(got[i].seq, resumed + 1 + i);  // with their original numbers
      EXPECT_EQ(got[i].message, vocab(static_cast<int>(resumed + 1 + i)));
    }
  }
  EXPECT_TRUE(reports.hasLog("client resumed past the ring — sent gap:true, 0 replayed"));
  // Live messages continue the numbering.
  auto client = connectAuthenticated(10);
  publishAndWait(vocab(11));
  EXPECT_EQ(client->expectEnvelope().seq, 11u);

  // A new phone is told too when what was broadcast during its handshake
  // has already left the ring.
  commands->whileListing([&] {
    for (int i = 12; i <= 20; ++i)
      server->publish(vocab(i));
  });
  protocol::HelloAck ack;
  auto newcomer = connectAuthenticated(std::nullopt, &ack);
  EXPECT_TRUE(ack.gap);
  EXPECT_EQ(ack.resumedFromSeq, 20u);
  EXPECT_TRUE(newcomer->untilPong().empty());
}

TEST_F(ServerTest, AReplayLongerThanTheQueueArrivesWholeWithLiveMessagesInOrderBehindIt) {
  startServer();  // a queue of 256
  publishAndWait(vocab(0), 1000);
  auto client = connectAuthenticated(0);
  for (int i = 1; i <= 10; ++i)
    server->publish(vocab(i));
  for (std::uint64_t seq = 1; seq <= 1010 && !HasFailure(); ++seq) {
    const protocol::ServerEnvelope envelope = client->expectEnvelope();
    ASSERT_EQ(envelope.seq, seq) << envelope.encode();
    EXPECT_EQ(envelope.message, vocab(seq <= 1000 ? 0 : static_cast<int>(seq - 1000)));
  }
  EXPECT_TRUE(client->untilPong().empty());
  EXPECT_FALSE(reports.hasLogStartingWith("shed "));
}

TEST_F(ServerTest, WhatIsBroadcastDuringTheHandshakeFollowsTheHelloAckInOrder) {
  startServer();
  publishAndWait(vocab(1));
  int next = 2;
  commands->whileListing([&] {
    server->publish(vocab(next));
    server->publish(vocab(next + 1));
  });
  // A new phone, then one resuming from before its first connection.
  for (const auto& lastSeq : std::vector<std::optional<std::uint64_t>>{std::nullopt, 1}) {
    SCOPED_TRACE(lastSeq ? "resuming" : "new");
    protocol::HelloAck ack;
    std::uint64_t ackSeq = 0;
    auto client = connectAuthenticated(lastSeq, &ack, &ackSeq);
    const auto got = client->untilPong();
    ASSERT_FALSE(got.empty());
    for (std::size_t i = 0; i < got.size(); ++i)
      EXPECT_EQ(got[i].seq, ack.resumedFromSeq + 1 + i);
    EXPECT_EQ(got.back().seq, ackSeq);
    EXPECT_EQ(got.back().message, vocab(next + 1));
    next += 2;
  }
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
TEST(ServerListener, APermissionDeniedBindIsReportedAsARefusedBind) {
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
      // Said with the port it could not have, and what to do about it.
      if (std::holds_alternative<Server::BindRefused>(s) &&
          describe(s).line.ends_with("listen on port 80") && describe(s).help)
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

// Where it listens: loopback and Tailscale's own addresses, not every
// interface. Another loopback address stands in for the Tailscale one.
TEST_F(ServerTest, ListensOnLoopbackAndTailscalesAddressesOnlyBindingThemWhenTheyAppear) {
  const std::string script = (dir / "tailscale").string();
  parley::test::writeFile(script,
                          "#!/bin/sh\n"
                          "ips=''\n"
                          "[ -e \"$(dirname \"$0\")/up\" ] && ips='\"127.0.0.3\"'\n"
                          "echo \"{\\\"Self\\\":{\\\"DNSName\\\":\\\"desk.\\\","
                          "\\\"TailscaleIPs\\\":[$ips]}}\"\n");
  ::chmod(script.c_str(), 0755);
  auto configuration = testConfiguration();
  configuration.bindAddress = "";
  configuration.tailscaleExecutable = script;
  configuration.tailnetRefreshInterval = 20ms;
  startServer(configuration);
  const auto reachable = [&](const char* address) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect({boost::asio::ip::make_address(address), port}, ec);
    return !ec;
  };
  EXPECT_TRUE(reachable("127.0.0.1"));
  EXPECT_FALSE(reachable("127.0.0.3"));
  EXPECT_FALSE(reachable("127.0.0.4"));
  parley::test::writeFile(dir / "up", "");
  // Logged once the listener is open.
  EXPECT_TRUE(waitUntil(
      [&] { return reports.hasLog("listening on 127.0.0.3 port " + std::to_string(port)); }));
  EXPECT_TRUE(reachable("127.0.0.3"));
  EXPECT_FALSE(reachable("127.0.0.4"));
}

TEST_F(ServerTest, TheAddressFilterRefusesForeignPeersBeforeAnyHandshake) {
  auto configuration = testConfiguration();
  configuration.addressFilter = [](std::string_view address) { return address != "127.0.0.1"; };
  startServer(configuration);
  EXPECT_ANY_THROW(PhoneClient{port});
  // Reported, then logged.
  EXPECT_TRUE(waitUntil([&] {
    return reports.eventsOf<Server::RejectedAddress>().size() == 1 &&
           reports.hasLogStartingWith("refused non-Tailscale peer ");
  }));
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

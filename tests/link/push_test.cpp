// Notifications through a push service: a loopback stand-in plays the push
// service, and the stand-in browser behind it opens what it receives and
// checks the VAPID token as a push service would.

#include <sys/stat.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/json.hpp>
#include <future>

#include "http_standin.hpp"
#include "link/push_notifier.hpp"
#include "push_browser.hpp"
#include "server_fixture.hpp"

namespace parley::link::test {
namespace {

using parley::test::b64url;
using parley::test::Browser;
using parley::test::HttpStandin;
using parley::test::unb64url;
using parley::test::verifiedClaims;
using parley::test::waitUntil;
namespace json = boost::json;

TEST(PushCrypto, TheKeyPairIsMadeOnceKeptOwnerOnlyAndACorruptFileIsSetAside) {
  parley::test::TempDir dir;
  const auto file = dir / "data" / "vapid.pem";
  const std::string key = PushCrypto::loadOrCreate(file).publicKey();
  EXPECT_EQ(PushCrypto::loadOrCreate(file).publicKey(), key);
  const std::string point = unb64url(key);
  ASSERT_EQ(point.size(), 65u);
  EXPECT_EQ(point[0], '\x04');
  EXPECT_EQ(key.find_first_of("+/="), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A copy left readable by others is made owner-only again.
  ::chmod(file.c_str(), 0644);
  EXPECT_EQ(PushCrypto::loadOrCreate(file).publicKey(), key);
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  parley::test::writeFile(file, "not a key");
  EXPECT_NE(PushCrypto::loadOrCreate(file).publicKey(), key);
  int setAside = 0;
  for (const auto& entry : std::filesystem::directory_iterator(file.parent_path()))
    setAside += entry.path().filename().string().starts_with("vapid.pem.corrupt-");
  EXPECT_EQ(setAside, 1);
}

TEST(PushCrypto, TheSubjectIsTheDesktopsOwnAddressAndOnlyOnesEveryPushServiceTakesPass) {
  EXPECT_EQ(defaultVapidSubject("desk.tail1234.ts.net."), "https://desk.tail1234.ts.net");
  EXPECT_EQ(defaultVapidSubject(std::nullopt), kFallbackVapidSubject);
  EXPECT_EQ(defaultVapidSubject(""), kFallbackVapidSubject);
  for (const char* good :
       {"https://desk.tail1234.ts.net", "https://example.com/contact", "mailto:me@example.com"})
    EXPECT_EQ(vapidSubjectProblem(good), std::nullopt) << good;
  const std::pair<std::string, std::string> bad[] = {
      {std::string(kFallbackVapidSubject), "not at a domain a push service accepts"},
      {"mailto:me@box.local", "not at a domain"},
      {"mailto:me@example.com,you@example.com", "not one mail address"},
      {"mailto:", "not one mail address"},
      {"mailto:@example.com", "not one mail address"},
      {"http://example.com", "neither https: nor mailto:"},
      {"https://", "names no host"},
      {"https://me:pw@example.com", "carries credentials"},
      {"", "not an https: or mailto: address"},
      {"just words", "not an https: or mailto: address"},
  };
  for (const auto& [subject, problem] : bad) {
    const auto found = vapidSubjectProblem(subject);
    ASSERT_TRUE(found) << subject;
    EXPECT_NE(found->find(problem), std::string::npos) << *found;
  }
}

TEST(PushSubscription, InputThatCannotBeUsedIsRefusedSayingWhy) {
  const Browser browser;
  const std::string p = b64url(browser.point), a = b64url(browser.auth);
  const std::string offCurve = b64url(std::string("\x04") + std::string(64, '\x01'));
  struct Case {
    std::string endpoint, p256dh, auth, error;
  } cases[] = {
      {"http://push.example/x", p, a, "must be an https:// URL"},
      {"ftp://push.example/x", p, a, "must be an https:// URL"},
      {"http://127.0.0.1:9/x", p, a, "must be an https:// URL"},
      {"push.example/x", p, a, "not an absolute URL"},
      {"https://user:pw@push.example/x", p, a, "credentials"},
      {"https://push.example/x", b64url(browser.point.substr(0, 64)), a,
       "p256dh decodes to 64 bytes, not 65"},
      {"https://push.example/x", offCurve, a, "p256dh is not a point on P-256"},
      {"https://push.example/x", p, a.substr(0, 20), "auth decodes to 15 bytes, not 16"},
      {"https://push.example/x", p, "a+b/", "auth is not URL-safe Base64"},
  };
  for (const Case& c : cases) {
    try {
      PushSubscription::parse(c.endpoint, c.p256dh, c.auth);
      ADD_FAILURE() << c.endpoint << " accepted";
    } catch (const PushSubscriptionError& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
    }
  }
  // Loopback may be plain http when asked for (local stand-ins); padded
  // keys are stored without padding.
  for (const char* ok : {"https://push.example/x", "http://127.0.0.1:9/x", "http://[::1]:9/x"})
    EXPECT_EQ(PushSubscription::parse(ok, p + "=", a + "==", true).p256dh, p) << ok;
}

TEST(PushSubscription, StoredWithTheDeviceReadFromOlderFilesAndGoneWithTheDevice) {
  parley::test::TempDir dir;
  const PairingStore store("s", dir / "devices.json", Preferences(dir / "prefs.json"));
  // A file written before notifications existed.
  parley::test::writeFile(dir / "devices.json",
                          R"([{"device":{"deviceID":"A","deviceName":"Old","createdAt":1},)"
                          R"("tokenHash":"x"},{"device":{"deviceID":"B","deviceName":"Bad",)"
                          R"("createdAt":2},"tokenHash":"y","push":{"endpoint":"ftp://z"}}])");
  EXPECT_EQ(store.devices().size(), 2u);  // an unusable subscription costs only itself
  EXPECT_TRUE(store.pushTargets().empty());

  const PushSubscription sub = Browser().subscription("https://push.example/a");
  EXPECT_TRUE(store.setPushSubscription("A", sub));
  EXPECT_FALSE(store.setPushSubscription("nobody", sub));
  store.markSeen("A", std::chrono::system_clock::now());
  ASSERT_EQ(store.pushTargets().size(), 1u);
  EXPECT_EQ(store.pushTargets()[0].subscription, sub);

  store.dropPushSubscription("A", "https://push.example/other");  // a newer one stays
  EXPECT_EQ(store.pushTargets().size(), 1u);
  store.revoke("A");
  EXPECT_TRUE(store.pushTargets().empty());
  EXPECT_EQ(parley::test::readFile(dir / "devices.json").find("push.example"), std::string::npos);
}

// A push service that accepts connections on loopback and never answers;
// it counts the connections that reached it.
class StalledService {
 public:
  StalledService() {
    accept();
    thread_ = std::thread([this] { io_.run(); });
  }
  ~StalledService() {
    io_.stop();
    thread_.join();
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port()); }
  int connections() const { return connections_; }

 private:
  void accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
      if (ec)
        return;
      ++connections_;
      held_.push_back(std::move(socket));
      accept();
    });
  }

  using tcp = boost::asio::ip::tcp;
  boost::asio::io_context io_;
  tcp::acceptor acceptor_{io_, {boost::asio::ip::make_address("127.0.0.1"), 0}};
  std::vector<tcp::socket> held_;
  std::atomic<int> connections_{0};
  std::thread thread_;
};

// Nothing here connects anywhere but loopback: the judged addresses are
// only offered sockets, never connected, and names are pinned, not looked up.
TEST(PushSender, AddressesNoPushServiceCanHaveAreRefusedBeforeAnyConnection) {
  const PushSender sender(
      {.pinnedAddresses = {"push.example:443:192.0.2.1", "mixed.example:443:192.0.2.1,10.9.8.7"}});
  const std::pair<std::string, std::string> refused[] = {
      {"https://127.0.0.1/x", "address 127.0.0.1 is a loopback address"},
      {"https://[::1]:8788/x", "address ::1 is a loopback address"},
      {"https://localhost:8787/x", "host localhost resolves to"},
      {"https://2130706433/x", "host 2130706433 resolves to 127.0.0.1, a loopback"},
      {"https://0x7f000001/x", "127.0.0.1, a loopback"},
      {"https://[::ffff:127.0.0.1]/x", "a loopback address"},
      {"https://169.254.169.254/latest/meta-data", "169.254.169.254 is a link-local"},
      {"https://10.1.2.3/x", "a private address"},
      {"https://172.31.255.1/x", "a private address"},
      {"https://[fd00::1]/x", "a private address"},
      {"https://100.101.102.103/x", "a carrier-grade NAT address"},
      {"https://0.0.0.0/x", "an unspecified address"},
      // A name with a good answer and a bad one is as bad as the bad one.
      {"https://mixed.example/x", "host mixed.example resolves to 10.9.8.7, a private"},
  };
  for (const auto& [endpoint, reason] : refused) {
    const auto refusal = sender.check(endpoint);
    ASSERT_TRUE(refusal) << endpoint;
    EXPECT_NE(refusal->reason.find(reason), std::string::npos) << refusal->reason;
    EXPECT_FALSE(refusal->retriable) << endpoint;
  }
  for (const char* usable :
       {"https://push.example/x", "https://192.0.2.1/x", "https://172.32.0.1/x"})
    EXPECT_EQ(sender.check(usable), std::nullopt) << usable;
}

TEST(PushSender, ANameThatChangesItsAnswerIsCaughtWhenConnectingAndLoopbackNeedsTheTestAllowance) {
  StalledService service;
  const std::string port = std::to_string(service.port());
  const std::string endpoint = "https://push.example:" + port + "/a";
  // It answered with a public address when the phone subscribed…
  EXPECT_EQ(
      PushSender({.pinnedAddresses = {"push.example:" + port + ":192.0.2.1"}}).check(endpoint),
      std::nullopt);
  // …and with loopback when the message goes out.
  try {
    PushSender({.pinnedAddresses = {"push.example:" + port + ":127.0.0.1"}})
        .send(PushRequest{.endpoint = endpoint});
    ADD_FAILURE() << "sent";
  } catch (const PushEndpointError& e) {
    EXPECT_NE(std::string(e.what()).find("push.example resolves to 127.0.0.1, a loopback"),
              std::string::npos)
        << e.what();
  }
  // Plain http is not allowed either, without the allowance.
  EXPECT_THROW(PushSender().send(PushRequest{.endpoint = service.url() + "/a"}), PushEndpointError);
  EXPECT_EQ(service.connections(), 0);

  // With it (a test's stand-in) the connection is made.
  PushSender allowed({.timeout = std::chrono::hours(1), .allowLoopback = true});
  auto sending = std::async(std::launch::async,
                            [&] { allowed.send(PushRequest{.endpoint = service.url() + "/a"}); });
  ASSERT_TRUE(waitUntil([&] { return service.connections() == 1; }));
  allowed.stop();
  ASSERT_EQ(sending.wait_for(30s), std::future_status::ready);  // only a hang misses this
  EXPECT_THROW(sending.get(), PushTransportError);
}

// A notifier wired to a stand-in push service, with two paired devices.
class NotifierTest : public ::testing::Test {
 protected:
  NotifierTest() {
    store.addDevice("Pixel", "A");
    store.addDevice("Tablet", "B");
  }

  void start(PushNotifier::Configuration config = {}) {
    config.firstRetryDelay = 1ms;
    config.subject = "mailto:test@example.com";
    config.allowLoopbackEndpoints = true;
    notifier =
        std::make_unique<PushNotifier>(config, store, PushCrypto::loadOrCreate(dir / "vapid.pem"));
    notifier->setOnLog([this](const std::string& line) {
      std::lock_guard lock(mutex);
      logs.push_back(line);
    });
  }
  std::vector<HttpStandin::Request> requestsTo(const std::string& path) const {
    std::vector<HttpStandin::Request> out;
    for (auto& r : service.requests())
      if (r.target() == path)
        out.push_back(r);
    return out;
  }
  bool logged(const std::string& part) { return countLogs(part) > 0; }
  std::size_t countLogs(const std::string& part) {
    std::lock_guard lock(mutex);
    return static_cast<std::size_t>(std::count_if(logs.begin(), logs.end(), [&](const auto& l) {
      return l.find(part) != std::string::npos;
    }));
  }

  parley::test::TempDir dir;
  PairingStore store{"s", dir / "devices.json", Preferences(dir / "prefs.json")};
  Browser phone, tablet;
  std::atomic<unsigned> status{201};
  HttpStandin service{[this](const HttpStandin::Request&) {
    return HttpStandin::reply(status.load(), "text/plain", "");
  }};
  std::mutex mutex;
  std::vector<std::string> logs;
  std::unique_ptr<PushNotifier> notifier;
};

TEST_F(NotifierTest, OnlyTheDeviceNotConnectedGetsAPayloadOnlyItsBrowserCanOpen) {
  store.setPushSubscription("A", phone.subscription(service.url() + "/a"));
  store.setPushSubscription("B", tablet.subscription(service.url() + "/b"));
  start();
  notifier->deviceConnected("A");
  protocol::PermissionRequest request{.sessionID = "S1", .requestID = "R1", .toolName = "Bash"};
  request.tier = protocol::RiskTier::destructive;
  request.narration.speech = "Run rm -rf build";
  const auto before = std::chrono::system_clock::now();
  notifier->onPermissionRequest("api", request);
  ASSERT_TRUE(waitUntil([&] { return requestsTo("/b").size() == 1; }));
  // Both go out from one strand in file order: A would have been first.
  EXPECT_TRUE(requestsTo("/a").empty());

  const HttpStandin::Request sent = requestsTo("/b")[0];
  EXPECT_EQ(sent[boost::beast::http::field::content_encoding], "aes128gcm");
  EXPECT_EQ(sent["Urgency"], "high");
  EXPECT_EQ(sent["TTL"], "1800");
  EXPECT_EQ(phone.decrypt(sent.body()), "");  // another browser's keys open nothing
  EXPECT_EQ(json::parse(tablet.decrypt(sent.body())),
            json::parse(R"({"v":1,"kind":"permission","sessionID":"S1","session":"api",)"
                        R"("requestID":"R1","tier":"destructive","atKeyboard":true,)"
                        R"("line":"Approve at the keyboard: Run rm -rf build"})"));

  const json::value claims =
      verifiedClaims(std::string(sent[boost::beast::http::field::authorization]));
  ASSERT_TRUE(claims.is_object()) << sent[boost::beast::http::field::authorization];
  EXPECT_EQ(claims.at("aud"), json::value(service.url()));
  EXPECT_EQ(claims.at("sub"), json::value("mailto:test@example.com"));
  const auto exp = std::chrono::system_clock::time_point(
      std::chrono::seconds(claims.at("exp").to_number<std::int64_t>()));
  EXPECT_GT(exp, before);
  EXPECT_LE(exp, before + std::chrono::hours(24));

  // Gone from the link, the phone is notified too; a short turn is no news.
  notifier->deviceDisconnected();
  notifier->onTurnFinished("api", protocol::TurnFinished{.sessionID = "S1", .durationMS = 5000});
  notifier->onTurnFinished("api", protocol::TurnFinished{.sessionID = "S1", .durationMS = 600000});
  // The tablet's copy goes out after the phone's, so wait for both.
  ASSERT_TRUE(
      waitUntil([&] { return requestsTo("/a").size() == 1 && requestsTo("/b").size() == 2; }));
  EXPECT_EQ(json::parse(phone.decrypt(requestsTo("/a")[0].body())).at("kind"), json::value("turn"));
}

TEST_F(NotifierTest, PingOnlyCarriesNothingOfTheSessionAndTheSubjectCanChangeWhileRunning) {
  store.setPushSubscription("A", phone.subscription(service.url() + "/a"));
  start();
  notifier->setPingOnly(true);
  notifier->setSubject("https://desk.tail1234.ts.net");
  protocol::QuestionRequest question{.sessionID = "S", .requestID = "Q"};
  question.narration.speech = "Deploy the secret plan?";
  notifier->onQuestion("api", question);
  ASSERT_TRUE(waitUntil([&] { return requestsTo("/a").size() == 1; }));
  const HttpStandin::Request sent = requestsTo("/a")[0];
  EXPECT_EQ(json::parse(phone.decrypt(sent.body())), json::parse(R"({"v":1,"kind":"ping"})"));
  EXPECT_EQ(sent["Urgency"], "high");
  const json::value claims =
      verifiedClaims(std::string(sent[boost::beast::http::field::authorization]));
  ASSERT_TRUE(claims.is_object());
  EXPECT_EQ(claims.at("sub"), json::value("https://desk.tail1234.ts.net"));

  notifier->setPingOnly(false);
  notifier->onQuestion("api", question);
  ASSERT_TRUE(waitUntil([&] { return requestsTo("/a").size() == 2; }));
  EXPECT_EQ(json::parse(phone.decrypt(requestsTo("/a")[1].body())).at("line"),
            json::value("Deploy the secret plan?"));
}

TEST_F(NotifierTest, AnExpiredSubscriptionIsRemovedAndABusyServiceIsRetriedABoundedNumberOfTimes) {
  store.setPushSubscription("A", phone.subscription(service.url() + "/a"));
  PushNotifier::Configuration config;
  config.maxAttempts = 3;
  start(config);
  status = 429;
  notifier->onQuestion("api", protocol::QuestionRequest{.sessionID = "S", .requestID = "Q"});
  ASSERT_TRUE(waitUntil([&] { return logged("gave up after 3 attempts"); }));
  EXPECT_EQ(requestsTo("/a").size(), 3u);
  EXPECT_TRUE(logged("HTTP 429 — retry 2 of 2"));
  EXPECT_EQ(store.pushTargets().size(), 1u);

  status = 410;
  notifier->onQuestion("api", protocol::QuestionRequest{.sessionID = "S", .requestID = "Q"});
  // The line is written once the subscription is gone.
  ASSERT_TRUE(waitUntil([&] { return logged("refused (HTTP 410)"); }));
  EXPECT_TRUE(store.pushTargets().empty());
  EXPECT_EQ(requestsTo("/a").size(), 4u);
}

TEST_F(NotifierTest, AStalledServiceKeepsABoundedQueueAndStoppingEndsTheWaitAndSendsNothingMore) {
  StalledService stalled;
  store.setPushSubscription("A", phone.subscription(stalled.url() + "/a"));
  PushNotifier::Configuration config;
  config.requestTimeout = std::chrono::hours(1);  // only stopping ends the wait
  config.queueCapacity = 2;
  start(config);
  const protocol::QuestionRequest question{.sessionID = "S", .requestID = "Q"};
  notifier->onQuestion("api", question);
  ASSERT_TRUE(waitUntil([&] { return stalled.connections() == 1; }));
  // Behind the stalled one, five more: the oldest three are dropped.
  for (int i = 0; i < 5; ++i)
    notifier->onQuestion("api", question);
  EXPECT_EQ(countLogs("notification dropped: 2 are waiting"), 3u);

  auto stopping = std::async(std::launch::async, [&] { notifier.reset(); });
  ASSERT_EQ(stopping.wait_for(30s), std::future_status::ready);  // only a hang misses this
  // Connections are accepted in order: once ours is counted, any the
  // notifier made before it would have been too.
  boost::asio::io_context io;
  boost::asio::ip::tcp::socket probe(io);
  probe.connect({boost::asio::ip::make_address("127.0.0.1"), stalled.port()});
  ASSERT_TRUE(waitUntil([&] { return stalled.connections() >= 2; }));
  EXPECT_EQ(stalled.connections(), 2);
  EXPECT_FALSE(logged("failed"));  // quitting is not a failure to report
}

TEST_F(ServerTest, APhoneTurnsNotificationsOnAndOffAndBadInputIsRefused) {
  auto config = testConfiguration();
  config.vapidPublicKey = "KEY";
  config.pushEndpointCheck = [sender =
                                  PushSender({.pinnedAddresses = {"push.example:443:192.0.2.1"}})](
                                 const std::string& endpoint) { return sender.check(endpoint); };
  startServer(config);
  protocol::HelloAck ack;
  auto client = connectAuthenticated(std::nullopt, &ack);
  EXPECT_EQ(ack.vapidPublicKey, "KEY");

  const Browser browser;
  client->send(protocol::PushSubscribe{
      .endpoint = "http://push.example/x", .p256dh = b64url(browser.point), .auth = "x"});
  const auto failure = client->expect<protocol::Failure>();
  EXPECT_EQ(failure.code, "push_failed");
  EXPECT_EQ(failure.message, "push endpoint must be an https:// URL");
  // The desktop's own services are no push service, however they are named.
  client->send(protocol::PushSubscribe{.endpoint = "https://0x7f000001:8788/x",
                                       .p256dh = b64url(browser.point),
                                       .auth = b64url(browser.auth)});
  const auto local = client->expect<protocol::Failure>();
  EXPECT_EQ(local.message,
            "push endpoint host 0x7f000001 resolves to 127.0.0.1, a loopback address");
  EXPECT_FALSE(local.retriable);
  EXPECT_TRUE(store.pushTargets().empty());
  EXPECT_EQ(
      reports.countLogsContaining("notifications for “Pixel” not changed: push endpoint host"), 1u);

  client->send(protocol::PushSubscribe{.endpoint = "https://push.example/x",
                                       .p256dh = b64url(browser.point),
                                       .auth = b64url(browser.auth)});
  EXPECT_TRUE(client->expect<protocol::PushState>().enabled);
  ASSERT_EQ(store.pushTargets().size(), 1u);
  EXPECT_EQ(store.pushTargets()[0].device.deviceID, "DEV-1");
  client->send(protocol::PushUnsubscribe{});
  EXPECT_FALSE(client->expect<protocol::PushState>().enabled);
  EXPECT_TRUE(store.pushTargets().empty());
}

}  // namespace
}  // namespace parley::link::test

// Alerts that follow the person, through the whole model: a private D-Bus
// bus carries a stand-in logind (whose session the test makes idle, locked
// or absent) and a stand-in notification service; a loopback stand-in push
// service receives what goes to the phone. Questions arrive as Claude Code's
// hooks bring them.

#include <boost/json.hpp>

#include "model_fixture.hpp"
#include "support/dbus_standins.hpp"
#include "support/http_standin.hpp"
#include "support/push_browser.hpp"

namespace parley::app {
namespace {

using namespace test_model;
using Clock = std::chrono::system_clock;

HookPayload question(const std::string& id, const std::string& text) {
  HookPayload p = event(HookPayload::Event::preToolUse);
  p.toolName = "AskUserQuestion";
  p.toolUseID = id;
  p.toolInput = protocol::JSONValue::fromJson(boost::json::object{
      {"questions",
       boost::json::array{boost::json::object{
           {"question", text},
           {"header", "Choice"},
           {"options", boost::json::array{boost::json::object{{"label", "Red"}},
                                          boost::json::object{{"label", "Blue"}}}}}}}});
  return p;
}

class AlertsTest : public ModelTest {
 protected:
  AlertsTest() {
    options.watchPresence = true;
    options.phoneLink.push.allowLoopbackEndpoints = true;
    const std::string id = link::makeUUID();
    pairing().addDevice("Pixel", id);
    pairing().setPushSubscription(id, phone.subscription(push.url() + "/pixel"));
  }
  ~AlertsTest() override {
    // The model goes before the bus it listens to.
    if (model)
      onModel([this] { model.reset(); });
  }

  void settings(const boost::json::object& values) {
    link::Preferences(*options.phoneLink.preferencesFile).set("notifications", values);
  }
  std::string whereabouts() {
    return onModel([this] { return model->alerts().whereaboutsText(); });
  }
  bool becomes(const std::string& where) {
    return test::waitUntil([&] { return whereabouts() == where; });
  }
  std::size_t pushes() const { return push.requests().size(); }
  // The request each push was for, in the order they came.
  std::vector<std::string> pushedRequests() const {
    std::vector<std::string> lines;
    for (const auto& request : push.requests()) {
      const std::string payload = phone.decrypt(request.body());
      lines.push_back(payload.empty()
                          ? "(unreadable)"
                          : std::string(boost::json::parse(payload).at("requestID").as_string()));
    }
    return lines;
  }
  std::size_t deskNotices() { return notifications.notices().size(); }

  test::Browser phone;
  test::PrivateBus bus{true};
  test::StandInLogind logind{bus.address()};
  test::StandInNotifications notifications{bus.address()};
  test::HttpStandin push{[](const test::HttpStandin::Request&) {
    return test::HttpStandin::reply(201, "text/plain", "");
  }};
};

TEST_F(AlertsTest, AtTheDeskANoticeAwayAPushAndAnUnansweredRequestReachesThePhone) {
  settings({{"unansweredAfterSeconds", 3600}});
  start();
  ASSERT_TRUE(becomes("at the desk"));

  // Idle for a moment is still at the desk.
  logind.setIdle(true, Clock::now() - 5s);
  hook(question("Q1", "Which colour?"));
  ASSERT_TRUE(test::waitUntil([&] { return deskNotices() == 1; }));
  const auto notice = notifications.notices()[0];
  EXPECT_EQ(notice.summary, "Parley \u2014 Claude has a question");
  EXPECT_NE(notice.body.find("Which colour?"), std::string::npos) << notice.body;

  // Idle past the minute is away: the phone hears at once. Pushes leave in
  // order, so one arrival means the desk's question was never pushed.
  logind.setIdle(true, Clock::now() - 2min);
  ASSERT_TRUE(becomes("away (idle)"));
  hook(question("Q2", "Which size?"));
  ASSERT_TRUE(test::waitUntil([&] { return pushes() == 1; }));

  // Back at the desk, with a short wait: left unanswered, it goes to the
  // phone too; the setting is stored for the next run.
  logind.setIdle(false, {});
  ASSERT_TRUE(becomes("at the desk"));
  NotificationSettings quick;
  quick.unansweredAfter = 1s;
  EXPECT_EQ(onModel([&] { return model->setNotificationSettings(quick); }), std::nullopt);
  EXPECT_EQ(NotificationSettings::load(link::Preferences(*options.phoneLink.preferencesFile)),
            quick);
  hook(question("Q3", "Which shape?"));
  ASSERT_TRUE(waitForLog(
      "proj: question \u201cWhich shape?\u201d unanswered at the desk for 1 s \u2014 sent "
      "to the phone"));
  EXPECT_TRUE(test::waitUntil([&] { return pushes() == 2; }));
  // The away one waits on the desk too: no phone was connected.
  EXPECT_TRUE(test::waitUntil([&] { return deskNotices() == 3; }));

  // Answered in time, nothing follows. The next one waits as long and was
  // asked later, so its line would come second.
  quick.unansweredAfter = 2s;
  onModel([&] { return model->setNotificationSettings(quick); });
  hook(question("Q4", "Which day?"));
  HookPayload answered = event(HookPayload::Event::postToolUse);
  answered.toolName = "AskUserQuestion";
  answered.toolUseID = "Q4";
  hook(answered);
  hook(question("Q5", "Which month?"));
  ASSERT_TRUE(waitForLog(
      "proj: question \u201cWhich month?\u201d unanswered at the desk for 2 s \u2014 sent "
      "to the phone"));
  for (const std::string& line : texts())
    EXPECT_EQ(line.find("Which day?\u201d unanswered"), std::string::npos) << line;
  ASSERT_TRUE(test::waitUntil([&] { return pushes() == 3; }));
  EXPECT_EQ(pushedRequests(), (std::vector<std::string>{"Q2", "Q3", "Q5"}));
}

TEST_F(AlertsTest, NeverAndAlwaysIgnoreWhereThePersonIs) {
  settings({{"push", "never"}});
  start();
  logind.setLocked(true);
  ASSERT_TRUE(becomes("away (screen locked)"));
  hook(question("Q1", "Which colour?"));
  ASSERT_TRUE(test::waitUntil([&] { return deskNotices() == 1; }));

  NotificationSettings always;
  always.push = NotificationSettings::Push::always;
  onModel([&] { return model->setNotificationSettings(always); });
  logind.setLocked(false);
  ASSERT_TRUE(becomes("at the desk"));
  hook(question("Q2", "Which size?"));
  ASSERT_TRUE(test::waitUntil([&] { return pushes() == 1; }));
  EXPECT_EQ(pushedRequests(), std::vector<std::string>{"Q2"});  // never pushed the first
  EXPECT_TRUE(test::waitUntil([&] { return deskNotices() == 2; }));
}

TEST_F(AlertsTest, WithoutALoginSessionThePhoneIsPushedToAsBeforeAndTheLogSaysSoOnce) {
  logind.setHasSession(false);
  start();
  const std::string line =
      "whether you are at the desk is unknown (logind knows no login session for this user "
      "(Caller does not belong to any known session)) \u2014 alerts go to the phone whenever its "
      "page is closed";
  ASSERT_TRUE(waitForLog(line));
  hook(question("Q1", "Which colour?"));
  ASSERT_TRUE(test::waitUntil([&] { return pushes() == 1; }));
  hook(question("Q2", "Which size?"));
  ASSERT_TRUE(test::waitUntil([&] { return pushes() == 2; }));
  const auto all = texts();
  EXPECT_EQ(std::count(all.begin(), all.end(), line), 1);
}

TEST(NotificationSettings, UnusableStoredValuesKeepTheirDefaultsAndThePanelsAreRefusedSayingWhy) {
  test::TempDir dir;
  const link::Preferences preferences(dir / "preferences.json");
  EXPECT_EQ(NotificationSettings::load(preferences), NotificationSettings{});
  preferences.set("notifications",
                  boost::json::parse(R"({"push":"sometimes","awayAfterSeconds":0,)"
                                     R"("unansweredAfterSeconds":45,"pingOnly":"yes",)"
                                     R"("vapidSubject":"mailto:parley@localhost"})"));
  std::vector<std::string> problems;
  const NotificationSettings loaded = NotificationSettings::load(preferences, &problems);
  EXPECT_EQ(loaded.unansweredAfter, 45s);  // the one good value counts
  EXPECT_EQ(loaded.push, NotificationSettings::Push::whenAway);
  EXPECT_EQ(loaded.awayAfter, 60s);
  EXPECT_FALSE(loaded.pingOnly);
  EXPECT_EQ(loaded.vapidSubject, "");
  EXPECT_EQ(problems.size(), 4u);

  NotificationSettings chosen;
  chosen.push = NotificationSettings::Push::never;
  chosen.awayAfter = 3600s;
  chosen.pingOnly = true;
  chosen.vapidSubject = "https://desk.example.com";
  EXPECT_EQ(NotificationSettings::parse(chosen.toJson()), chosen);

  const std::pair<const char*, const char*> refused[] = {
      {R"([])", "must be an object"},
      {R"({"push":7})", "push must be"},
      {R"({"awayAfterSeconds":3601})", "awayAfterSeconds must be a whole number of seconds"},
      {R"({"unansweredAfterSeconds":1.5})", "unansweredAfterSeconds must be"},
      {R"({"unansweredAfterSeconds":18446744073709551615})", "unansweredAfterSeconds must be"},
      {R"({"pingOnly":1})", "pingOnly must be true or false"},
      {R"({"vapidSubject":"http://desk"})", "neither https: nor mailto:"},
  };
  for (const auto& [body, reason] : refused) {
    try {
      NotificationSettings::parse(boost::json::parse(body));
      ADD_FAILURE() << body << " accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace parley::app

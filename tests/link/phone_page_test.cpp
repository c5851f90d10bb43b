// The phone page's permission cards in real headless Chromium, against the
// real server serving the embedded page, with scripted session commands: what
// the phone may approve, and what its taps send.

#include <boost/json.hpp>

#include "app/web_sites.hpp"
#include "link/push_crypto.hpp"
#include "server_fixture.hpp"
#include "support/web_driver.hpp"

namespace parley::link::test {
namespace {

namespace json = boost::json;
using parley::test::waitUntil;
using parley::test::WebDriver;
using protocol::PermissionOption;
using Kind = PermissionOption::Kind;

class PhonePageCards : public ServerTest {
 protected:
  void SetUp() override {
    if (const auto reason = WebDriver::unavailable())
      GTEST_SKIP() << *reason;
    protocol::SessionDescriptor session;
    session.sessionID = "S1";
    session.tmuxSession = "work";
    session.claudeVersion = "2.1.222";
    session.usage.emplace().summary = "context 12% of 200.0k \u00b7 about $0.41 (estimate)";
    commands->setSessions({session});
    auto configuration = testConfiguration();
    configuration.site = web::phoneSite();
    configuration.vapidPublicKey = vapidPublicKey;
    configuration.images = images;
    startServer(configuration);
    const PairingPayload offer{.host = "desk.ts.net", .token = token, .serverID = "X"};
    const std::string address = offer.webAddress();
    browser.emplace();
    browser->go("http://127.0.0.1:" + std::to_string(port) + "/" +
                address.substr(address.find('#')));
    ASSERT_TRUE(browser->waitForText("#link-state", "Connected")) << browser->consoleLog();
    // The only session opens by itself; the tests start from the list.
    ASSERT_TRUE(browser->waitFor([&] { return browser->exists("#session:not([hidden])"); }));
    browser->click("#back");
    ASSERT_TRUE(browser->waitFor([&] { return browser->exists("#sessions:not([hidden])"); }));
  }

  protocol::PermissionRequest request(const std::string& id, protocol::RiskTier tier) {
    return {.sessionID = "S1",
            .requestID = id,
            .nonce = "nonce-" + id,
            .toolName = "Edit",
            .detail = "--- a/x\n+++ b/x\n-old line\n+new line\n same",
            .options = {{0, "Yes", Kind::allowOnce},
                        {1, "Yes, allow all edits", Kind::allowAlways},
                        {2, "No", Kind::deny}},
            .tier = tier};
  }

  // Clicks the button once its card has armed it.
  bool press(const std::string& css) {
    return browser->waitFor([&] {
      return browser->script(
                 "const b = document.querySelector(arguments[0]);"
                 "if (!b || b.disabled) return false; b.click(); return true;",
                 {json::value(css)}) == true;
    });
  }

  // Taps the element once scrolled clear of the sticky composer.
  void tap(const std::string& css) {
    browser->script("document.querySelector(arguments[0]).scrollIntoView({block: 'center'})",
                    {json::value(css)});
    browser->click(css);
  }

  // With PARLEY_SCREENSHOT_DIR set, keeps a picture of the view.
  void shoot(const std::string& name) {
    if (const char* shots = std::getenv("PARLEY_SCREENSHOT_DIR"))
      browser->screenshot(std::filesystem::path(shots) / name);
  }

  std::optional<WebDriver> browser;
  std::string vapidPublicKey;  // none: this desktop cannot send notifications
  std::shared_ptr<ImageUploads> images = std::make_shared<ImageUploads>(dir / "uploads");
};

class PhonePageWithPush : public PhonePageCards {
 protected:
  PhonePageWithPush() { vapidPublicKey = PushCrypto::loadOrCreate(dir / "vapid.pem").publicKey(); }
};

TEST_F(PhonePageCards, ApprovingSendsTheChosenOptionAndDestructiveRequestsOfferOnlyDenial) {
  publishAndWait(request("R1", protocol::RiskTier::elevated));
  // Reachable from the session list, then shown in the session.
  ASSERT_TRUE(browser->waitForText("#pending-all", "work asks to use Edit"));
  browser->click("#pending-all button");
  const std::string card = ".card[data-request-id='R1']";
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(card); }));
  EXPECT_EQ(browser->text(card + " .add"), "+new line");
  EXPECT_EQ(browser->text(card + " .del"), "-old line");
  EXPECT_EQ(browser->script("return document.querySelectorAll(arguments[0]).length",
                            {json::value(card + " .add, " + card + " .del")}),
            2);
  // Allowing always is shown, with why it cannot be chosen here.
  EXPECT_EQ(browser->script("return [...document.querySelectorAll(arguments[0])].find(b => "
                            "b.textContent === 'Yes, allow all edits').disabled",
                            {json::value(card + " button")}),
            true);
  shoot("phone-permission.png");
  ASSERT_TRUE(press(card + " button.approve"));
  EXPECT_TRUE(waitUntil([&] { return commands->count("permissionAnswer:R1|nonce-R1|0") == 1; }));

  // Resolution by the desk settles the card in words.
  publishAndWait(protocol::PermissionResolved{
      .requestID = "R1", .chosenIndex = 0, .by = protocol::PermissionResolved::By::desk});
  EXPECT_TRUE(browser->waitForText(card + " .outcome", "Answered at the keyboard: Yes."));

  // A destructive request: no approval anywhere, and denying with an
  // instruction denies first and sends the instruction once resolved.
  publishAndWait(request("R2", protocol::RiskTier::destructive));
  const std::string destructive = ".card.destructive[data-request-id='R2']";
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(destructive); }));
  EXPECT_FALSE(browser->exists(destructive + " button.approve"));
  EXPECT_EQ(browser->script("return [...document.querySelectorAll(arguments[0])]"
                            ".map(b => b.textContent)",
                            {json::value(destructive + " button")}),
            json::array{"No"});
  EXPECT_NE(browser->text(destructive).find("approve at the keyboard"), std::string::npos);
  browser->type(destructive + " textarea", "use git clean instead");
  shoot("phone-destructive.png");
  ASSERT_TRUE(press(destructive + " button.deny"));
  EXPECT_TRUE(waitUntil([&] { return commands->count("permissionAnswer:R2|nonce-R2|2") == 1; }));
  EXPECT_EQ(commands->count("submit:"), 0);
  publishAndWait(protocol::PermissionResolved{
      .requestID = "R2", .chosenIndex = 2, .by = protocol::PermissionResolved::By::phone});
  EXPECT_TRUE(browser->waitForText(destructive + " .outcome", "Answered from the phone"));
  EXPECT_TRUE(
      waitUntil([&] { return commands->count("submit:S1|use git clean instead|1|-") == 1; }));
}

// A reply reads as formatted text, and what looks like HTML in it is shown,
// never made into elements.
TEST_F(PhonePageCards, RepliesReadAsMarkdownAndTheHtmlInThemStaysText) {
  const std::string longLine(300, 'x');
  const std::string reply =
      "## Plan for the **desk**\n\n"
      "Moved `parse()` into *its own* file; see [the notes](https://example.com/a?b=1).\n\n"
      "- first step\n- second with `code`\n  1. nested\n  2. and more\n\n"
      "> quoted **words**\n\n"
      "```cpp\nint main() { return \"<b>\"[0]; }\n// " +
      longLine +
      "\n```\n\n"
      "<img src=x onerror=\"window.pwned=1\"> and <script>window.pwned=2</script> stay "
      "snake_case_text.";
  publishAndWait(protocol::AssistantText{.sessionID = "S1",
                                         .messageUUID = "M1",
                                         .narration = {.text = reply, .speech = "", .speak = false},
                                         .final = true});
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(".session-item"); }));
  browser->click(".session-item");
  const std::string md = ".feed li.text .md";
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(md); })) << browser->consoleLog();
  shoot("phone-markdown.png");
  EXPECT_EQ(browser->text("#session-usage"), "context 12% of 200.0k \u00b7 about $0.41 (estimate)");

  EXPECT_EQ(browser->text(md + " h4"), "Plan for the desk");
  EXPECT_EQ(browser->text(md + " h4 strong"), "desk");
  EXPECT_EQ(browser->text(md + " p code"), "parse()");
  EXPECT_EQ(browser->text(md + " p em"), "its own");
  // A link is its text and its address, never something to tap.
  EXPECT_EQ(browser->text(md + " .link"), "the notes");
  EXPECT_EQ(browser->text(md + " .link-address"), "(https://example.com/a?b=1)");
  EXPECT_EQ(browser->script("return [...document.querySelectorAll(arguments[0])]"
                            ".map(li => li.firstChild.textContent)",
                            {json::value(md + " > ul > li")}),
            (json::array{"first step", "second with "}));
  EXPECT_EQ(browser->script("return [...document.querySelectorAll(arguments[0])]"
                            ".map(li => li.textContent)",
                            {json::value(md + " ul > li > ol > li")}),
            (json::array{"nested", "and more"}));
  EXPECT_EQ(browser->text(md + " blockquote strong"), "words");

  // Code keeps its lines and scrolls sideways; the page does not widen.
  const std::string code = md + " pre.code";
  EXPECT_EQ(browser->attribute(code, "data-language"), "cpp");
  EXPECT_EQ(browser->script("return document.querySelector(arguments[0]).textContent",
                            {json::value(code)}),
            json::value("int main() { return \"<b>\"[0]; }\n// " + longLine));
  EXPECT_EQ(browser->script("const pre = document.querySelector(arguments[0]);"
                            "return [getComputedStyle(pre).overflowX,"
                            " pre.scrollWidth > pre.clientWidth,"
                            " document.documentElement.scrollWidth <= innerWidth]",
                            {json::value(code)}),
            (json::array{"auto", true, true}));

  // Markup from the reply is its text: no element, no handler, no script.
  EXPECT_EQ(browser->script("return document.querySelectorAll('.feed img, .feed script').length"),
            0);
  EXPECT_NE(browser->text(md).find(
                "<img src=x onerror=\"window.pwned=1\"> and <script>window.pwned=2</script> stay "
                "snake_case_text."),
            std::string::npos);
  EXPECT_EQ(browser->script("return window.pwned ?? null"), nullptr);
}

// A session's changes: its files by area, a file's diff coloured like a
// permission request's, and a fresh list after each tool that may change
// files, not after one that only reads.
TEST_F(PhonePageCards, ChangesListFilesByAreaShowDiffsAndFollowChangingTools) {
  using protocol::ChangedFile;
  using Area = ChangedFile::Area;
  using Change = ChangedFile::Change;
  const ChangedFile renamed{.path = "docs/new.md",
                            .oldPath = "docs/old.md",
                            .area = Area::staged,
                            .change = Change::renamed};
  const ChangedFile edited{.path = "src/app.js",
                           .area = Area::unstaged,
                           .change = Change::modified,
                           .added = 2,
                           .removed = 1};
  const ChangedFile image{
      .path = "logo.png", .area = Area::unstaged, .change = Change::modified, .binary = true};
  const ChangedFile markup{.path = "<img src=x onerror=window.pwned=1>.md",
                           .area = Area::untracked,
                           .change = Change::added,
                           .added = 1};
  commands->setChanges(
      {.repository = true, .branch = "main", .files = {renamed, edited, image, markup}},
      {{.file = edited, .diff = "@@ -1,2 +1,3 @@\n---- a rule\n+<b>bold</b>\n+two\n same\n"},
       {.file = image}});
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(".session-item"); }));
  browser->click(".session-item");
  browser->click("#changes-toggle");
  ASSERT_TRUE(browser->waitForText("#changes .changes-status", "4 changed files on main"))
      << browser->consoleLog();
  EXPECT_EQ(browser->attribute("#feed-holder", "hidden"), "true");
  auto texts = [&](const std::string& css) {
    return browser->script(
        "return [...document.querySelectorAll(arguments[0])].map(e => e.textContent)",
        {json::value(css)});
  };
  EXPECT_EQ(texts("#changes h3"), (json::array{"Staged (1)", "Not staged (2)", "Untracked (1)"}));
  EXPECT_EQ(texts("#changes .file-row"),
            (json::array{"Rdocs/old.md → docs/new.md+0 −0", "Msrc/app.js+2 −1", "Mlogo.pngbinary",
                         "A<img src=x onerror=window.pwned=1>.md+1 −0"}));

  // A diff opens under its file: every line coloured by its first sign,
  // "---" in a removed line included, and markup in it shown as text.
  const std::string row = "#changes li.file[data-path='src/app.js']";
  tap(row + " .file-row");
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(row + " pre.diff"); }));
  EXPECT_EQ(texts(row + " .del"), json::array{"---- a rule\n"});
  EXPECT_EQ(texts(row + " .add"), (json::array{"+<b>bold</b>\n", "+two\n"}));
  EXPECT_EQ(texts(row + " .hunk"), json::array{"@@ -1,2 +1,3 @@\n"});
  tap("#changes li.file[data-path='logo.png'] .file-row");
  EXPECT_TRUE(
      browser->waitForText("#changes li.file[data-path='logo.png'] .file-diff", "Binary file"));
  // A diff that cannot be read says why where it would have been.
  tap("#changes li.file[data-area='untracked'] .file-row");
  EXPECT_TRUE(browser->waitForText("#changes li.file[data-area='untracked'] .file-diff",
                                   "Could not read this diff: <img src=x"));
  EXPECT_EQ(browser->text("#changes li.file[data-path='logo.png'] .file-diff"),
            "Binary file: no lines to show.");
  EXPECT_EQ(browser->script("return document.querySelectorAll('#changes img, #changes b')"
                            ".length + (window.pwned ?? 0)"),
            0);

  // A read changes nothing; an edit does: one fresh list, and the open
  // diffs asked for again. Counted from here: a reconnect asks again too.
  const int lists = commands->count("changes:S1");
  const std::string diffCall = "fileDiff:S1|src/app.js|unstaged";
  const int diffs = commands->count(diffCall);
  for (const auto& [id, tool] : {std::pair{"T1", "Read"}, std::pair{"T2", "Edit"}}) {
    publishAndWait(protocol::ToolStarted{
        .sessionID = "S1", .toolUseID = id, .toolName = tool, .narration = {.text = "Working"}});
    publishAndWait(protocol::ToolFinished{.sessionID = "S1", .toolUseID = id, .summary = "ok"});
  }
  EXPECT_TRUE(waitUntil([&] { return commands->count(diffCall) == diffs + 1; }));
  // The page's next command arrives after every request it made before.
  tap("#interrupt");
  ASSERT_TRUE(waitUntil([&] { return commands->count("interrupt:S1") == 1; }));
  EXPECT_EQ(commands->count("changes:S1"), lists + 1);
  shoot("phone-changes.png");

  commands->setChanges({.repository = false}, {});
  tap("#changes .changes-refresh");
  EXPECT_TRUE(browser->waitForText("#changes .changes-status", "not in a Git repository"));
}

// The link state says what happened in words, and stops retrying when only
// the person can fix it.
TEST_F(PhonePageCards, AnAttachedPhotoIsScaledDownSentInPartsAndNamedInThePrompt) {
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(".session-item"); }));
  browser->click(".session-item");
  // A 4000 × 3000 photo with a band of noise (scaled, still more than one
  // part), given to the file input as the phone's picker would.
  browser->script(R"(
    const c = document.createElement('canvas');
    c.width = 4000; c.height = 3000;
    const g = c.getContext('2d');
    const noise = g.createImageData(4000, 3000);
    for (let i = 0; i < noise.data.length; i++)
      noise.data[i] = i % 4 === 3 ? 255 : i < noise.data.length / 8 ? (i * 2654435761) >>> 24 : 200;
    g.putImageData(noise, 0, 0);
    c.toBlob((blob) => {
      const input = document.querySelector('#composer input[type=file]');
      const picked = new DataTransfer();
      picked.items.add(new File([blob], 'photo.png', { type: 'image/png' }));
      input.files = picked.files;
      input.dispatchEvent(new Event('change'));
    }, 'image/png');)");
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(".thumbs li img"); }, 30s))
      << browser->text("#composer-status");
  shoot("phone-attached.png");
  browser->script("document.getElementById('prompt').value = 'what is this'");
  tap("#send");
  std::string call;
  ASSERT_TRUE(waitUntil(
      [&] {
        for (const auto& c : commands->calls())
          if (c.rfind("submit:S1|what is this|1|-|image:", 0) == 0)
            call = c;
        return !call.empty();
      },
      30s))
      << browser->text("#composer-status");
  const auto file = images->path(call.substr(call.rfind(':') + 1));
  ASSERT_TRUE(file);
  // PNG stays PNG, its long side brought down to 2,000 pixels.
  const std::string png = parley::test::readFile(*file);
  ASSERT_GT(png.size(), 24u);
  const auto be32 = [&](std::size_t at) {
    return (std::uint32_t(std::uint8_t(png[at])) << 24) |
           (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(png[at + 2])) << 8) |
           std::uint32_t(std::uint8_t(png[at + 3]));
  };
  EXPECT_EQ(be32(16), 2000u);
  EXPECT_EQ(be32(20), 1500u);
  EXPECT_TRUE(browser->waitFor([&] { return !browser->exists(".thumbs li"); }));
}

TEST_F(PhonePageCards, AnotherPhoneTakingOverAndARevokedTokenAreSaidInWords) {
  PhoneClient other(port);
  other.sendHello(token);
  other.expect<protocol::HelloAck>();
  ASSERT_TRUE(browser->waitForText("#link-state", "Replaced"));
  EXPECT_NE(browser->text("#link-note").find("Another phone took over"), std::string::npos);
  EXPECT_EQ(browser->attribute("#reconnect", "hidden"), std::nullopt);

  browser->click("#reconnect");
  ASSERT_TRUE(browser->waitForText("#link-state", "Connected"));
  const std::string tokenKey = "parley.desk.127.0.0.1:" + std::to_string(port) + ".token";
  EXPECT_EQ(browser->script("return localStorage.getItem(arguments[0])", {json::value(tokenKey)}),
            json::value(token));
  store.revoke("DEV-1");
  ASSERT_TRUE(browser->waitForText("#link-state", "Not paired"));
  EXPECT_NE(browser->text("#unpaired-reason").find("pair it again"), std::string::npos);
  EXPECT_EQ(browser->script("return localStorage.getItem(arguments[0])", {json::value(tokenKey)}),
            nullptr);
}

// A page paired before it could hold several desktops kept one token under
// plain keys: opened again, it is still paired, now under its desktop's keys.
TEST_F(PhonePageCards, APagePairedBeforeSeveralDesktopsStaysPaired) {
  const std::string own = "127.0.0.1:" + std::to_string(port);
  browser->script(
      "localStorage.clear(); localStorage.setItem('parley.token', arguments[0]);"
      "localStorage.setItem('parley.deviceID', 'PHONE-1');",
      {json::value(token)});
  browser->go("http://" + own + "/");
  ASSERT_TRUE(browser->waitForText("#link-state", "Connected")) << browser->consoleLog();
  EXPECT_TRUE(browser->exists(".session-item[data-session-id='S1']"));
  EXPECT_EQ(
      browser->script("return [localStorage.getItem('parley.token'),"
                      "localStorage.getItem(arguments[0]), localStorage.getItem('parley.desks')]",
                      {json::value("parley.desk." + own + ".deviceID")}),
      json::parse(R"([null, "PHONE-1", "[\")" + own + R"(\"]"])"));
}

// With a second desktop (one that cannot be reached from here), the list is
// grouped by desktop, each with its own link; the session's commands go to
// its own desktop; the desktop that revokes the phone leaves the page with
// its reason while the other stays.
TEST_F(PhonePageCards, SeveralDesktopsAreGroupedAndARevokedOneLeavesAlone) {
  const std::string own = "127.0.0.1:" + std::to_string(port);
  const std::string other = "laptop.tail1234.ts.net";
  browser->script(
      "localStorage.setItem('parley.desks', JSON.stringify([location.host, arguments[0]]));"
      "localStorage.setItem('parley.desk.' + arguments[0] + '.token', 'T-LAPTOP');",
      {json::value(other)});
  browser->go("http://" + own + "/");
  const std::string ownHead = ".desk-head[data-desk='" + own + "']";
  const std::string otherHead = ".desk-head[data-desk='" + other + "']";
  ASSERT_TRUE(browser->waitForText(ownHead + " .link-badge", "Connected")) << browser->consoleLog();
  ASSERT_TRUE(browser->exists(otherHead));
  EXPECT_EQ(browser->text(otherHead + " h3"), "laptop");
  EXPECT_NE(browser->text(otherHead + " .link-badge"), "Connected");
  // Unreachable from here, it gives up opening after a while and waits to
  // try again.
  EXPECT_TRUE(
      browser->waitFor([&] { return browser->exists(otherHead + " .desk-reconnect"); }, 30s))
      << browser->text(otherHead + " .link-badge");
  EXPECT_FALSE(browser->exists(ownHead + " .desk-reconnect"));
  // The bar names the desktop that is not connected.
  EXPECT_EQ(browser->text("#link-state").rfind("laptop: ", 0), 0u) << browser->text("#link-state");
  // The session is listed under its own desktop.
  EXPECT_EQ(
      browser->script("const s = document.querySelector(\".session-item[data-session-id='S1']\");"
                      "return s.closest('li').previousElementSibling.dataset.desk"),
      json::value(own));

  browser->click(".session-item[data-session-id='S1']");
  browser->script("document.getElementById('prompt').value = 'to the desk'");
  tap("#send");
  EXPECT_TRUE(waitUntil([&] { return commands->count("submit:S1|to the desk|1|-") == 1; }));
  browser->script("history.back()");
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(ownHead); }));

  store.revoke("DEV-1");
  ASSERT_TRUE(browser->waitFor([&] { return !browser->exists(ownHead); }));
  EXPECT_TRUE(browser->exists(otherHead));
  EXPECT_FALSE(browser->exists(".session-item"));
  EXPECT_NE(browser->text("#link-note").find("was removed: The computer no longer knows"),
            std::string::npos)
      << browser->text("#link-note");
  EXPECT_EQ(browser->script("return [localStorage.getItem(arguments[0]),"
                            "localStorage.getItem(arguments[1])]",
                            {json::value("parley.desk." + own + ".token"),
                             json::value("parley.desk." + other + ".token")}),
            json::parse(R"([null, "T-LAPTOP"])"));
  shoot("phone-two-desktops-one-revoked.png");
}

// Notifications are offered only when the desktop can send them, and a
// browser that will not show them says so instead of seeming to be on.
TEST_F(PhonePageCards, NotificationsAreNotOfferedWithoutTheDesktopsKey) {
  EXPECT_EQ(browser->attribute("#notify-toggle", "disabled"), "true");
  EXPECT_NE(browser->text("#notify-note").find("cannot send notifications"), std::string::npos);
}

TEST_F(PhonePageWithPush, ARefusedNotificationPermissionLeavesThemOffAndSaysWhy) {
  ASSERT_TRUE(browser->waitFor([&] { return !browser->attribute("#notify-toggle", "disabled"); }));
  browser->click("#notify-toggle");
  EXPECT_TRUE(browser->waitForText("#notify-note", "blocked")) << browser->text("#notify-note");
  EXPECT_EQ(browser->script("return document.getElementById('notify-toggle').checked"), false);
}

}  // namespace
}  // namespace parley::link::test

namespace parley::link::test {
namespace {

// Sessions from the phone: the projects by the desktop's ids, a start with a
// first prompt that opens the new session once listed, a past session
// A pairing link opened into the page already open is taken there, and its
// token leaves the address bar; a damaged one is said to be.
TEST_F(PhonePageCards, APairingLinkOpenedIntoTheOpenPageIsTaken) {
  const std::string address =
      PairingPayload{.host = "127.0.0.1", .port = port, .token = token, .serverID = "X"}
          .webAddress();
  browser->script("location.hash = arguments[0]", {json::value(address.substr(address.find('#')))});
  EXPECT_TRUE(browser->waitForText("#link-note", "again.")) << browser->text("#link-note");
  EXPECT_EQ(browser->url().find('#'), std::string::npos) << browser->url();
  EXPECT_TRUE(browser->waitForText("#link-state", "Connected"));
  browser->script("location.hash = '#pair=e30'");
  EXPECT_TRUE(browser->waitForText("#link-note", "This pairing link is damaged"))
      << browser->text("#link-note");
}

// With several sessions, those waiting for the person come first and say
// so, and each shows its latest line, updated without rebuilding the list.
TEST_F(PhonePageCards, SessionsWaitingForThePersonComeFirstWithTheirLatestLine) {
  protocol::SessionDescriptor first;
  first.sessionID = "S1";
  first.tmuxSession = "work";
  protocol::SessionDescriptor second = first;
  second.sessionID = "S2";
  second.tmuxSession = "docs";
  publishAndWait(protocol::SessionUpdate{{first, second}});
  const auto order = [&] {
    return browser->script(
        "return [...document.querySelectorAll('.session-item')].map(b => b.dataset.sessionId + "
        "':' + b.querySelector('.latest').textContent + (b.matches('.needs-you') ? '!' : ''))");
  };
  ASSERT_TRUE(browser->waitFor([&] { return order() == json::array{"S1:", "S2:"}; })) << order();

  publishAndWait(protocol::ToolStarted{.sessionID = "S1",
                                       .toolUseID = "T1",
                                       .toolName = "Bash",
                                       .narration = {.text = "Running the tests"}});
  publishAndWait(request("R1", protocol::RiskTier::elevated));
  auto inDocs = request("R2", protocol::RiskTier::elevated);
  inDocs.sessionID = "S2";
  publishAndWait(inDocs);
  ASSERT_TRUE(browser->waitFor([&] {
    return order() == json::array{"S1:Asks to use Edit!", "S2:Asks to use Edit!"};
  })) << order();

  publishAndWait(protocol::PermissionResolved{
      .requestID = "R1", .chosenIndex = 0, .by = protocol::PermissionResolved::By::desk});
  ASSERT_TRUE(browser->waitFor([&] {
    return order() == json::array{"S2:Asks to use Edit!", "S1:Asks to use Edit"};
  })) << order();
  EXPECT_EQ(browser->text(".session-item.needs-you .badge.needs"), "Needs you");
  // A new line in the feed is not a new list.
  browser->script("document.querySelector('.session-item').dataset.kept = 'yes'");
  publishAndWait(protocol::ToolStarted{.sessionID = "S1",
                                       .toolUseID = "T2",
                                       .toolName = "Read",
                                       .narration = {.text = "Reading the notes"}});
  ASSERT_TRUE(browser->waitForText(".session-item[data-session-id='S1'] .latest",
                                   "Read: Reading the notes"));
  EXPECT_EQ(browser->script("return document.querySelector('.session-item').dataset.kept"), "yes");
  shoot("phone-sessions-needing-you.png");
}

// resumed, a mode switch, and a stop that asks first and says when a request
// waits.
TEST_F(PhonePageCards, NewSessionStartsResumesAndStopsAfterConfirming) {
  commands->setProjects(
      {{.projectID = "P1", .name = "app", .path = "/w/app", .pastSessions = 1, .trusted = true},
       {.projectID = "P2", .name = "scratch", .path = "/w/scratch", .trusted = false}},
      {{.historyID = "H1",
        .lastActivity = std::chrono::system_clock::now(),
        .turns = 3,
        .firstPrompt = "fix the login"}});
  browser->click("#new-session");
  const std::string app = ".project[data-project-id='P1']";
  const std::string scratch = ".project[data-project-id='P2']";
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(app); })) << browser->consoleLog();
  EXPECT_EQ(browser->text("#title"), "New session");
  EXPECT_EQ(browser->text(app + " .meta"), "no recent activity · 1 past session");
  // An untrusted folder offers no start, and says where it is decided.
  EXPECT_FALSE(browser->exists(scratch + " button.start"));
  EXPECT_NE(browser->text(scratch + " .untrusted").find("decided at the desk"), std::string::npos);

  tap(app + " button.start");
  browser->type(app + " form.start textarea", "add tests");
  tap(app + " form.start button");
  EXPECT_TRUE(waitUntil([&] { return commands->count("start:P1|add tests") == 1; }));
  EXPECT_TRUE(browser->waitForText("#projects .projects-status", "tmux attach -t parley:1"));
  shoot("phone-new-session.png");

  // The new session opens once the desktop lists it.
  protocol::SessionDescriptor started;
  started.sessionID = "S2";
  started.paneID = "%9";
  started.tmuxSession = "parley";
  started.socketPath = "/tmp/tmux-1000/default";
  started.claudeVersion = "2.1.222";
  protocol::SessionDescriptor first;
  first.sessionID = "S1";
  first.tmuxSession = "work";
  first.claudeVersion = "2.1.222";
  publishAndWait(protocol::SessionUpdate{{first, started}});
  ASSERT_TRUE(browser->waitForText("#title", "parley"));
  EXPECT_EQ(browser->text("#session-desk"), "At the desk: tmux attach -t parley");

  // A mode is asked for; the switch shows the session's own until the
  // desktop lists it in the new one.
  const auto mode = [&] {
    return browser->script("return document.querySelector('#session-mode').value").as_string();
  };
  browser->click("#session-mode option[value='plan']");
  EXPECT_TRUE(waitUntil([&] { return commands->count("mode:S2") == 1; }));
  EXPECT_EQ(mode(), "default");
  started.permissionMode = protocol::PermissionMode::plan;
  publishAndWait(protocol::SessionUpdate{{first, started}});
  EXPECT_TRUE(browser->waitFor([&] { return mode() == "plan"; }));

  tap("#stop");
  ASSERT_TRUE(browser->waitForText("#stop-confirm .stop-words", "its window closes"));
  EXPECT_EQ(commands->count("stop:"), 0);
  tap("#stop-confirm .stop-yes");
  EXPECT_TRUE(waitUntil([&] { return commands->count("stop:S2") == 1; }));

  // A waiting request is named in the confirmation; keeping it sends nothing.
  publishAndWait(protocol::PermissionRequest{.sessionID = "S2",
                                             .requestID = "R9",
                                             .nonce = "n9",
                                             .toolName = "Bash",
                                             .options = {{1, "Yes", Kind::allowOnce}},
                                             .tier = protocol::RiskTier::elevated});
  tap("#stop");
  ASSERT_TRUE(browser->waitForText("#stop-confirm .stop-words", "is waiting"));
  tap("#stop-confirm .stop-no");
  EXPECT_EQ(commands->count("stop:"), 1);

  // Back in the list, a past session is resumed by its id.
  browser->click("#back");
  ASSERT_TRUE(browser->waitFor([&] { return !browser->exists("#session:not([hidden])"); }));
  browser->click("#new-session");
  ASSERT_TRUE(browser->waitFor([&] { return browser->exists(app + " button.history"); }));
  tap(app + " button.history");
  const std::string past = app + " .past-session[data-history-id='H1']";
  ASSERT_TRUE(browser->waitForText(past, "fix the login"));
  EXPECT_NE(browser->text(past).find("3 turns"), std::string::npos);
  tap(past + " button.resume");
  EXPECT_TRUE(waitUntil([&] { return commands->count("resume:H1") == 1; }));
  EXPECT_EQ(commands->count("listHistory:P1|0"), 1);

  // A refusal from the desktop is shown where the start was asked.
  commands->failWith("start", "Claude Code has not been told to trust /w/app");
  ASSERT_TRUE(
      browser->waitFor([&] { return browser->exists(app + " button.start:not([disabled])"); }));
  tap(app + " button.start");
  tap(app + " form.start button");
  EXPECT_TRUE(browser->waitForText("#projects .projects-status", "not been told to trust"));
}

}  // namespace
}  // namespace parley::link::test

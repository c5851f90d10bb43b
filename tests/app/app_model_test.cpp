#include "app/app_model.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/voice_session.hpp"
#include "link/image_uploads.hpp"
#include "link/pairing.hpp"
#include "link/push_crypto.hpp"
#include "protocol/hook_payload.hpp"
#include "support/http_standin.hpp"
#include "support/phone_client.hpp"
#include "support/pulse_daemon.hpp"
#include "support/test_support.hpp"

#include "model_fixture.hpp"

namespace parley::app {
namespace {

using namespace test_model;

TEST_F(ModelTest, StartUpReportsTheSocketTheServerAndTailscale) {
  setTailscale("Stopped");
  // No key pair can be made under a file: the model says why and runs on.
  test::writeFile(dir / "file", "");
  options.phoneLink.vapidKeyFile = dir / "file" / "vapid.pem";
  start();
  const std::string noKey =
      "notifications unavailable: mkdir " + (dir / "file").string() + ": Not a directory";
  EXPECT_TRUE(onModel([&] {
    return std::any_of(model->entries().begin(), model->entries().end(),
                       [&](const LogEntry& e) { return e.text == noKey; });
  }));
  EXPECT_TRUE(waitForLog("hook socket listening at " + options.hookSocket.string() + " (0600)"));
  EXPECT_TRUE(
      waitForLog("Tailscale is not running (Stopped) \u2014 the phone cannot reach this computer"));
  EXPECT_EQ(state().tailscaleHost, "desk.tail1234.ts.net");
  EXPECT_EQ(state().glyph(), GlyphState::unpaired);
}

TEST_F(ModelTest, HookEventsAreLoggedAndBroadcastInOrder) {
  start();
  auto phone = connectPhone();

  HookPayload started = event(HookPayload::Event::sessionStart);
  started.cwd = (home / "src").string();
  hook(started);
  HookPayload prompt = event(HookPayload::Event::userPromptSubmit);
  prompt.prompt = std::string(200, 'p');
  hook(prompt);
  HookPayload tool = event(HookPayload::Event::preToolUse);
  tool.toolName = "Bash";
  tool.toolUseID = "toolu_1";
  tool.toolInput = protocol::JSONValue(protocol::JSONValue::Object{{"command", "ls"}});
  hook(tool);
  hook(event(HookPayload::Event::sessionEnd, std::nullopt));  // logged, not broadcast
  hook(event(HookPayload::Event::postToolUseFailure));
  HookPayload stop = event(HookPayload::Event::stop);
  stop.promptID = "p-1";
  stop.lastAssistantMessage = "Done. See `src/main.cpp`.";
  hook(stop);

  // Every event with a session id sends the whole list first; narration
  // follows. The event without a session sends nothing.
  const auto update = expectPastVocab<protocol::SessionUpdate>(*phone);
  ASSERT_EQ(update.sessions.size(), 1u);
  EXPECT_EQ(update.sessions[0].sessionID, "s1");
  EXPECT_EQ(update.sessions[0].paneID, "%4");
  // The panel and desktop voice follow it too, not an hour later.
  ASSERT_EQ(state().sessions.size(), 1u);
  EXPECT_EQ(state().sessions[0].sessionID, "s1");
  expectPastVocab<protocol::SessionUpdate>(*phone);
  // A prompt nobody sent from the phone starts the desk's turn.
  const auto turn = expectPastVocab<protocol::TurnStarted>(*phone);
  EXPECT_EQ(turn.origin, protocol::TurnStarted::Origin::desk);
  EXPECT_EQ(turn.prompt, std::string(200, 'p'));
  expectPastVocab<protocol::SessionUpdate>(*phone);
  const auto started_ = expectPastVocab<protocol::ToolStarted>(*phone);
  EXPECT_EQ(started_.toolUseID, "toolu_1");
  EXPECT_EQ(started_.narration.text, "Working\u2026");
  expectPastVocab<protocol::SessionUpdate>(*phone);
  const auto failed = expectPastVocab<protocol::ToolFinished>(*phone);
  EXPECT_FALSE(failed.ok);
  EXPECT_EQ(failed.summary, "tool failed");
  expectPastVocab<protocol::SessionUpdate>(*phone);
  const auto text = expectPastVocab<protocol::AssistantText>(*phone);
  EXPECT_EQ(text.messageUUID, "p-1");
  EXPECT_TRUE(text.final);
  EXPECT_EQ(text.narration.speech, "Done. See main dot cpp, in src.");
  const auto finished = expectPastVocab<protocol::TurnFinished>(*phone);
  EXPECT_EQ(finished.promptID, "p-1");
  EXPECT_FALSE(finished.narration.speak);

  ASSERT_TRUE(waitForLog("Done. See `src/main.cpp`."));
  const auto all = texts();
  const auto from = std::find(all.begin(), all.end(), "session started in ~/src");
  ASSERT_NE(from, all.end());
  EXPECT_EQ(
      std::vector<std::string>(from, all.end()),
      (std::vector<std::string>{"session started in ~/src", std::string(160, 'p'), "\u2192 Bash",
                                "session ended (?)", "tool failed", "Done. See `src/main.cpp`."}));
  // Hooks are activity: the computer is kept awake, once.
  EXPECT_EQ(inhibitor->takes, 1);
}

// A flood of sessions is not answered with a list per event, but the phone
// always ends up with the list as it stands after the last one.
TEST_F(ModelTest, AFloodOfEventsEndsWithTheWholeListOnThePhone) {
  start();
  auto phone = connectPhone();
  constexpr int kEvents = 600;
  onModel([&] {
    for (int i = 0; i < kEvents; ++i)
      model->handleHook(
          event(HookPayload::Event::sessionStart, std::string("f").append(std::to_string(i))));
  });
  std::size_t updates = 0;
  bool lastListed = false;
  while (!lastListed) {
    const auto envelope = phone->expectEnvelope();
    if (HasFailure())
      return;
    if (const auto* update = std::get_if<protocol::SessionUpdate>(&envelope.message)) {
      ++updates;
      lastListed = std::any_of(update->sessions.begin(), update->sessions.end(),
                               [](const auto& s) { return s.sessionID == "f599"; });
    }
  }
  EXPECT_LT(updates, static_cast<std::size_t>(kEvents));
}

TEST_F(ModelTest, PermissionPromptsMarkTheGlyphUntilTheTurnEnds) {
  pairing().addDevice("Pixel", link::makeUUID());
  start();
  ASSERT_TRUE(test::waitUntil([&] { return state().glyph() == GlyphState::idle; }));

  HookPayload notification = event(HookPayload::Event::notification);
  notification.notificationType = "permission_prompt";
  hook(notification);
  ASSERT_TRUE(waitForLog("permission needed: tool"));
  EXPECT_EQ(state().glyph(), GlyphState::permissionPending);

  HookPayload stop = event(HookPayload::Event::stop);
  stop.lastAssistantMessage = "";
  hook(stop);
  ASSERT_TRUE(test::waitUntil([&] { return !state().permissionPending; }));
  EXPECT_EQ(state().glyph(), GlyphState::idle);
  // An empty last message is not logged.
  EXPECT_TRUE(texts(LogEntry::Kind::claude).empty());
}

TEST_F(ModelTest, PairingOffersNeedTailscaleAndPairNothingWhenItFails) {
  setTailscale("fail");
  start();
  onModel([this] { model->phoneLink().makePairingOffer("Pixel"); });
  auto failures = [&](const std::string& why) {
    const auto errors = texts(LogEntry::Kind::error);
    return std::count_if(errors.begin(), errors.end(), [&](const std::string& t) {
      return t.starts_with("pairing failed: ") && t.find(why) != std::string::npos;
    });
  };
  ASSERT_TRUE(test::waitUntil([&] { return failures("") == 1; }));
  setTailscale("Running", /*serveFails=*/true);
  onModel([this] { model->phoneLink().makePairingOffer("Pixel"); });
  ASSERT_TRUE(test::waitUntil([&] { return failures("serve config denied") == 1; }));
  EXPECT_FALSE(state().pairingOffer.has_value());
  EXPECT_TRUE(pairing().devices().empty());

  setTailscale("Running");
  onModel([this] { model->phoneLink().makePairingOffer("Pixel"); });
  ASSERT_TRUE(waitForLog("pairing offer for \u201cPixel\u201d \u2014 scan within this session"));
  const auto offer = state().pairingOffer;
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->host, "desk.tail1234.ts.net");
  EXPECT_EQ(offer->port, 443);
  EXPECT_EQ(pairing().device(offer->token)->deviceName, "Pixel");
  EXPECT_TRUE(test::waitUntil([&] { return state().pairedDevices.size() == 1u; }));
}

TEST_F(ModelTest, RevokingTheConnectedPhoneClosesItAndListensAgain) {
  start();
  auto phone = connectPhone("Pixel");
  const auto device = state().connectedDevice;
  ASSERT_TRUE(device);
  onModel([&] { model->phoneLink().revokeDevice(device->deviceID); });
  EXPECT_EQ(phone->expectClose(), 1001);
  ASSERT_TRUE(waitForLog("revoked Pixel"));
  EXPECT_FALSE(state().connectedDevice.has_value());
  EXPECT_TRUE(pairing().devices().empty());
  // The server listens again at once, for the other phones.
  ASSERT_TRUE(test::waitUntil([&] { return port() != 0; }));
  auto other = connectPhone("Tablet");
  EXPECT_TRUE(state().connectedDevice.has_value());
}

TEST_F(ModelTest, SleepClosesThePhoneAndWakeStartsAfresh) {
  start();
  auto phone = connectPhone();
  hook(event(HookPayload::Event::sessionStart));
  phone->expect<protocol::SessionUpdate>();
  onModel([this] { model->rescan(); });
  // The session is known: the phone learns its vocabulary.
  const auto vocab = phone->expect<protocol::Vocab>();
  EXPECT_EQ(vocab.sessionID, "s1");
  EXPECT_FALSE(vocab.terms.empty());
  EXPECT_TRUE(state().sleepAssertionHeld);

  onModel([this] { model->willSleep(); });
  const PhoneClient::Incoming closing = nextPastVocab(*phone);
  EXPECT_EQ(closing.kind, PhoneClient::Incoming::Kind::closed) << closing.text;
  EXPECT_EQ(closing.closeCode, 1001);
  EXPECT_TRUE(waitForLog("system sleeping \u2014 closed connection 1001"));
  EXPECT_FALSE(state().sleepAssertionHeld);

  onModel([this] { model->didWake(); });
  EXPECT_TRUE(waitForLog("woke \u2014 re-enumerating"));
  EXPECT_TRUE(state().sessions.empty());
  EXPECT_FALSE(state().connectedDevice.has_value());
  ASSERT_TRUE(test::waitUntil([&] { return port() != 0; }));
  auto again = connectPhone("Tablet");
}

TEST_F(ModelTest, APhoneDisconnectReleasesTheSleepAssertion) {
  start();
  {
    auto phone = connectPhone();
    EXPECT_TRUE(state().sleepAssertionHeld);
  }
  ASSERT_TRUE(test::waitUntil([&] {
    const auto all = texts(LogEntry::Kind::cmd);
    return std::any_of(all.begin(), all.end(),
                       [](const std::string& t) { return t.starts_with("phone disconnected ("); });
  }));
  EXPECT_FALSE(state().sleepAssertionHeld);
  EXPECT_EQ(inhibitor->drops, 1);
}

TEST_F(ModelTest, RefusedPeersAreLoggedByTheServerAndTheModel) {
  options.phoneLink.server.addressFilter = [](std::string_view) { return false; };
  start();
  try {
    PhoneClient intruder(port());
    intruder.next(2s);
  } catch (const std::exception&) {
    // Refused during the upgrade: the connection is reset.
  }
  // Two entries with one text: the server's own line and the model's error.
  // They arrive by different paths, so wait for both.
  auto refusals = [this](LogEntry::Kind kind) {
    std::vector<std::string> out;
    for (const auto& t : texts(kind))
      if (t.starts_with("refused non-Tailscale peer "))
        out.push_back(t);
    return out;
  };
  ASSERT_TRUE(test::waitUntil([&] {
    return !refusals(LogEntry::Kind::error).empty() && !refusals(LogEntry::Kind::cmd).empty();
  }));
  EXPECT_EQ(refusals(LogEntry::Kind::error), refusals(LogEntry::Kind::cmd));
}

TEST_F(ModelTest, DesktopActionsReportWhatTheyDid) {
  start();
  onModel([this] {
    model->desktop().submitFromVoice("run the tests");
    model->desktop().answerFromVoice(true);
    model->desktop().startVoice();
    model->desktop().installHooks();
  });
  EXPECT_TRUE(waitForLog("native voice: no active session to send \u201crun the tests\u201d to"));
  EXPECT_TRUE(waitForLog("native voice: no active session to answer"));
  EXPECT_TRUE(
      waitForLog("native voice mode failed to start: desktop voice is not part of this build"));
  // Installing copies the relay into place and registers it.
  ASSERT_TRUE(
      waitForLog("hooks installed: added 9, already present 0, preserved 0 existing handlers"));
  EXPECT_TRUE(test::waitUntil([&] { return state().hookInstalled && state().relayInstalled; }));
  struct stat st {};
  ASSERT_EQ(::stat((home / ".local/share/parley/parley-hook").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

// Escape at the keyboard sends no hook: the transcript's record of it ends
// the turn on the phone; a record the transcript already held is history.
TEST_F(ModelTest, AnEscapeAtTheKeyboardIsToldFromTheTranscript) {
  // A live Claude Code for the sweeps to find: this process, named claude.
  const std::string self = std::to_string(::getpid());
  test::writeFile(dir / "proc" / self / "comm", "claude\n");
  test::writeFile(dir / "proc" / self / "environ", std::string("TMUX_PANE=%4\0", 12));
  test::writeFile(
      home / ".claude" / "sessions" / (self + ".json"),
      R"({"pid":)" + self + R"(,"sessionId":"s1","cwd":"/home/dev/proj","version":"2.1.222"})");
  start();
  auto phone = connectPhone();
  const auto transcript = home / "s1.jsonl";
  const std::string interruption =
      R"({"type":"user","message":{"role":"user","content":[{"type":"text",)"
      R"("text":"[Request interrupted by user]"}]}})"
      "\n";
  test::writeFile(transcript, interruption);
  HookPayload prompt = event(HookPayload::Event::userPromptSubmit);
  prompt.prompt = "refactor it";
  prompt.transcriptPath = transcript.string();
  hook(prompt);
  const auto busy = [&] {
    const auto sessions = state().sessions;
    return sessions.size() == 1 && sessions[0].state == protocol::SessionState::busy;
  };
  ASSERT_TRUE(test::waitUntil(busy));
  const auto interrupted = [](const protocol::ServerEnvelope& e) {
    const auto* i = std::get_if<protocol::Interrupted>(&e.message);
    return i != nullptr ? i->detectedVia : std::string();
  };
  for (const auto& e : phone->untilPong())
    EXPECT_EQ(interrupted(e), "");
  std::ofstream(transcript, std::ios::app) << interruption;
  std::string told;
  for (int i = 0; i < 200 && told.empty(); ++i)
    told = interrupted(phone->expectEnvelope());
  EXPECT_EQ(told, "transcript: Escape at the keyboard");
  EXPECT_TRUE(test::waitUntil([&] { return !busy(); }));
  EXPECT_TRUE(waitForLog("turn interrupted (transcript: Escape at the keyboard)"));
}

// A detached session is left alone: off the phone's list, nothing of it
// published, its commands refused, until it is followed again.
TEST_F(ModelTest, ADetachedSessionIsLeftAloneUntilFollowedAgain) {
  const auto uploads = dir / "uploads";
  options.phoneLink.server.images = std::make_shared<link::ImageUploads>(uploads);
  start();
  auto phone = connectPhone();
  hook(event(HookPayload::Event::sessionStart, "s1"));
  HookPayload other = event(HookPayload::Event::sessionStart, "s2");
  other.tmuxPane = "%5";
  hook(other);
  ASSERT_TRUE(test::waitUntil([&] { return state().sessions.size() == 2; }));
  // The sessions of the last list the phone was sent up to a ping's answer.
  const auto listed = [&] {
    std::vector<std::string> ids;
    for (const auto& e : phone->untilPong())
      if (const auto* u = std::get_if<protocol::SessionUpdate>(&e.message)) {
        ids.clear();
        for (const auto& s : u->sessions)
          ids.push_back(s.sessionID);
      }
    return ids;
  };
  EXPECT_FALSE(onModel([&] { return model->setDetached("nobody", true); }));
  ASSERT_TRUE(onModel([&] { return model->setDetached("s2", true); }));
  EXPECT_EQ(state().detached, std::set<std::string>{"s2"});
  EXPECT_EQ(listed(), std::vector<std::string>{"s1"});

  HookPayload tool = event(HookPayload::Event::preToolUse, "s2");
  tool.toolName = "Bash";
  tool.toolUseID = "toolu_9";
  hook(tool);
  ASSERT_TRUE(waitForLog("\u2192 Bash"));
  // The next failure the phone is told of; nothing of s2 comes before it.
  const auto refusal = [&] {
    for (int i = 0; i < 20 && !HasFailure(); ++i) {
      const auto e = phone->expectEnvelope();
      EXPECT_FALSE(std::holds_alternative<protocol::ToolStarted>(e.message));
      if (const auto* f = std::get_if<protocol::Failure>(&e.message))
        return f->code + ": " + f->message;
    }
    return std::string();
  };
  phone->send(protocol::SubmitPrompt{.clientMsgID = "c1", .sessionID = "s2", .text = "hello"});
  const std::string prompt = refusal();
  EXPECT_NE(prompt.find("detached at the desk"), std::string::npos) << prompt;
  // An image for it is refused too, and nothing is kept on the desktop.
  phone->send(protocol::UploadImage{.uploadID = "u1",
                                    .sessionID = "s2",
                                    .part = 0,
                                    .last = true,
                                    .data = link::base64UrlEncode("\x89PNG\r\n\x1a\n-pixels-")});
  const std::string image = refusal();
  EXPECT_TRUE(image.starts_with("upload_failed: this session is detached")) << image;
  EXPECT_FALSE(std::filesystem::exists(uploads));
  // Desktop voice does not type into it either, even when it was the one
  // chosen at the desk.
  onModel([&] {
    model->setActiveSessionID("s2");
    model->desktop().submitFromVoice("run the tests");
  });
  EXPECT_TRUE(waitForLog("native voice: no active session to send \u201crun the tests\u201d to"));

  ASSERT_TRUE(onModel([&] { return model->setDetached("s2", false); }));
  EXPECT_TRUE(state().detached.empty());
  EXPECT_EQ(listed(), (std::vector<std::string>{"s1", "s2"}));
}

TEST_F(ModelTest, ATranscriptionFailureIsInTheActivityLog) {
  // The words spoken are lost: the panel and the phone must say so.
  test::PulseDaemon pulse;
  if (!pulse.problem().empty())
    GTEST_SKIP() << pulse.problem();
  test::HttpStandin transcriber(
      [](const auto&) { return test::HttpStandin::reply(500, "text/plain", "model not loaded"); });
  desktop::VoiceSettings settings;
  settings.recognizer = desktop::VoiceSettings::Recognizer::http;
  settings.transcriptionUrl = transcriber.url();
  start(desktop::makeDesktopVoice(settings, main.get_executor(), workers.get_executor()));
  onModel([this] { model->desktop().startVoice(); });
  ASSERT_TRUE(test::waitUntil(
      [&] { return onModel([this] { return model->desktop().voiceDisplay().listening; }); }));
  pulse.silence(300);
  pulse.speak(desktop::EspeakSynthesizer::synthesize("run the tests", std::nullopt, "en-US", 1.0f)
                  .resampled(16000)
                  .samples);
  pulse.silence(800);
  EXPECT_TRUE(
      waitForLog("voice: Transcription stopped: the transcription server answered HTTP 500: model "
                 "not loaded"));
  onModel([this] { model.reset(); });
}

}  // namespace
}  // namespace parley::app

// Desktop voice end to end: words played into a private sound server's
// microphone reach the real Claude Code as a prompt typed into its pane, the
// requests and answers are spoken, and "yes" and "no" answer its permission
// dialogs, never approving a destructive call. The microphone is in a room
// that hears Parley's speakers, so its own speech reaches the recogniser
// unless the canceller takes it out. The transcription stand-in knows the
// person's words by their waveform and decides what they were heard as, so
// no recogniser's accuracy counts; anything else it hears as silence.

#include <mutex>
#include <optional>

#include "bridge_fixture.hpp"
#include "desktop/espeak_synthesizer.hpp"
#include "http_standin.hpp"
#include "pulse_daemon.hpp"
#include "room.hpp"

namespace parley::test {
namespace {

using By = protocol::PermissionResolved::By;

class Voice : public Bridge {
 protected:
  void SetUp() override {
    if (!pulse_.problem().empty()) {
      GTEST_SKIP() << pulse_.problem();
    }
    room_.emplace(pulse_, 40ms, 0.5f);
    ASSERT_EQ(room_->problem(), "");
    Bridge::SetUp();
    if (!HasFatalFailure() && !IsSkipped()) {
      ASSERT_TRUE(app_->waitForOutput("native voice mode started")) << app_->output();
    }
  }

  void beforeRun(std::vector<std::string>& arguments,
                 std::map<std::string, std::string>& env) override {
    arguments.push_back("--voice");
    env["PULSE_SERVER"] = pulse_.server();
    writeFile(home_ / ".config/parley/preferences.json",
              json::serialize(json::object{
                  {"voice", {{"recognizer", "http"}, {"transcriptionUrl", transcriber_.url()}}}}));
  }

  // Says the words into the room after `pause` of silence, at the pace
  // they are spoken; the recogniser hears `heardAs`. Words that follow
  // Parley's speech wait a second, as a person who heard it out: what ends
  // within half a second of it may be its echo, and only "stop" is taken
  // from that; and a capture of its echo's tail can still be under way.
  void say(const std::string& words, const std::string& heardAs,
           std::chrono::milliseconds pause = 300ms) {
    auto samples = desktop::EspeakSynthesizer::synthesize(words, std::nullopt, "en-US", 1.0f)
                       .resampled(16000)
                       .samples;
    {
      std::lock_guard lock(mutex_);
      script_.push_back({samples, heardAs});
    }
    samples.insert(samples.begin(), static_cast<std::size_t>(16 * pause.count()), 0);
    room_->say(samples);
  }

  // Parley has said `count` things and listens again.
  bool spoken(std::size_t count) {
    const std::string mark = "spoken; listening again";
    return phone_->keepAliveUntil(
        [&] {
          const std::string log = app_->errors();
          std::size_t n = 0;
          for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1))
            ++n;
          return n >= count;
        },
        60s, std::to_string(count) + " things said");
  }

  struct Said {
    std::vector<std::int16_t> samples;
    std::string heardAs;
  };

  PulseDaemon pulse_;
  std::optional<Room> room_;
  std::mutex mutex_;
  std::vector<Said> script_;
  std::size_t heard_ = 0;  // what of the script has been uploaded
  HttpStandin transcriber_{[this](const HttpStandin::Request& request) {
    const auto uploaded = HttpStandin::uploadedSamples(request.body());
    std::lock_guard lock(mutex_);
    std::string text;
    if (heard_ < script_.size() && Room::likeness(uploaded, script_[heard_].samples) > 0.5)
      text = script_[heard_++].heardAs;
    return HttpStandin::reply(200, "application/json",
                              json::serialize(json::object{{"text", text}}));
  }};
};

TEST_F(Voice, SpokenPromptsAndAnswersDriveTheSessionAndADestructiveCallStaysAtTheKeyboard) {
  // Parley's speech is taken out of what the microphone hears by default.
  ASSERT_TRUE(contains(app_->errors(), "echo cancellation on")) << app_->errors();
  // ---- a spoken prompt whose call "yes" allows ----
  claude_->api().enqueue(
      Turn::tools({ToolCall::bash("seq 1 3 > counted.txt", "Count to three")}).then("Counted."));
  say("count to three", "Count to three");
  const auto turn = phone_->waitFor<protocol::TurnStarted>("the spoken turn");
  ASSERT_TRUE(turn);
  EXPECT_EQ(turn->origin, protocol::TurnStarted::Origin::desk);
  EXPECT_EQ(turn->prompt, "Count to three");

  const auto asked = nextRequest("the Bash request");
  ASSERT_TRUE(asked);
  EXPECT_EQ(asked->tier, protocol::RiskTier::elevated);
  ASSERT_TRUE(spoken(1));  // the request, read out
  say("yes", "Yes.", 1s);
  const auto allowed = resolutionOf(*asked);
  ASSERT_TRUE(allowed);
  EXPECT_EQ(allowed->by, By::desk);
  EXPECT_EQ(allowed->chosenIndex, 1);
  ASSERT_TRUE(phone_->waitFor<protocol::TurnFinished>("the first turn's end"));
  EXPECT_EQ(readAll(claude_->projectDir() / "counted.txt"), "1\n2\n3\n");
  ASSERT_TRUE(spoken(2));  // the answer
  ASSERT_TRUE(claude_->waitForIdle(60s));

  // ---- a force push: "yes" is refused out loud, "no" denies it ----
  claude_->api().enqueue(
      Turn::tools({ToolCall::bash("git push --force origin main", "Force-push")}).then("No."));
  say("force push the branch", "Force push the branch", 1s);
  const auto danger = nextRequest("the force-push request");
  ASSERT_TRUE(danger);
  EXPECT_EQ(danger->tier, protocol::RiskTier::destructive);
  ASSERT_TRUE(spoken(3));
  say("yes", "Yes.", 1s);
  ASSERT_TRUE(app_->waitForOutput("native voice answer failed: this request is destructive"));
  ASSERT_TRUE(spoken(4));  // the refusal
  EXPECT_TRUE(contains(claude_->screen(), "Do you want to proceed?")) << claude_->screen();
  say("no", "No.", 1s);
  const auto denied = resolutionOf(*danger);
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->by, By::desk);
  EXPECT_EQ(denied->chosenIndex, 3);
  ASSERT_TRUE(claude_->waitForScreen(
      [](const std::string& s) { return !contains(s, "Do you want to proceed?"); }));
  EXPECT_TRUE(phone_->failures().empty()) << failuresText(phone_->failures());
  std::lock_guard lock(mutex_);
  EXPECT_EQ(heard_, 5u);
}

}  // namespace
}  // namespace parley::test

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/json.hpp>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/voice_session.hpp"
#include "http_standin.hpp"
#include "pulse_daemon.hpp"
#include "room.hpp"

namespace parley::desktop {
namespace {

using test::HttpStandin;

std::vector<std::int16_t> spoken(const std::string& text) {
  return EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f).resampled(16000).samples;
}

// The samples from the first sound to the last, without the synthesiser's
// own quiet around them.
std::vector<std::int16_t> voiced(const std::vector<std::int16_t>& samples) {
  auto loud = [](std::int16_t s) { return s > 300 || s < -300; };
  const auto first = std::find_if(samples.begin(), samples.end(), loud);
  const auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base();
  return first < last ? std::vector<std::int16_t>(first, last) : std::vector<std::int16_t>{};
}

std::vector<std::int16_t> silent(int milliseconds) {
  return std::vector<std::int16_t>(static_cast<std::size_t>(16 * milliseconds), 0);
}

// The session on a main thread of its own, with a transcription stand-in that
// answers each utterance with the next scripted text.
class VoiceSessionTest : public ::testing::Test {
 protected:
  template <class F>
  auto onMain(F f) {
    std::packaged_task<decltype(f())()> task(std::move(f));
    auto result = task.get_future();
    boost::asio::post(io_, [&task] { task(); });
    return result.get();
  }
  void SetUp() override {
    if (!daemon_.problem().empty())
      GTEST_SKIP() << daemon_.problem();
    settings_.recognizer = VoiceSettings::Recognizer::http;
    settings_.transcriptionUrl = standin_.url();
    mainThread_ = std::thread([this] { io_.run(); });
    makeSession();
  }
  void makeSession() {
    session_ = onMain([this] {
      session_.reset();
      auto session =
          std::make_unique<VoiceSession>(settings_, io_.get_executor(), pool_.get_executor());
      session->onPrompt = [this](const std::string& text) { record("prompt: " + text); };
      session->onMetaCommand = [this](const std::string& name) { record("meta: " + name); };
      session->onAnnouncement = [this](const std::string& text) { record("announce: " + text); };
      return session;
    });
  }
  void TearDown() override {
    if (session_)
      onMain([this] {
        session_.reset();
        return 0;
      });
    work_.reset();
    if (mainThread_.joinable())
      mainThread_.join();
    pool_.join();
  }

  void record(const std::string& line) {
    std::lock_guard lock(mutex_);
    heard_.push_back(line);
  }
  std::vector<std::string> heard() {
    std::lock_guard lock(mutex_);
    return heard_;
  }
  std::vector<std::string> transcripts() {
    std::lock_guard lock(mutex_);
    return transcripts_;
  }
  bool startListening() {
    std::string error;
    if (!onMain([&] { return session_->start(error); }))
      return false;
    return test::waitUntil([&] { return onMain([&] { return session_->isListening(); }); });
  }
  // A microphone hears the room before anyone speaks; the gate learns its
  // floor from that.
  void say(const std::string& text) {
    daemon_.silence(300);
    daemon_.speak(spoken(text));
    daemon_.silence(800);
  }

  test::PulseDaemon daemon_;
  std::mutex mutex_;
  std::vector<std::string> heard_;
  std::vector<std::string> script_;
  std::size_t next_ = 0;
  // When set, what the transcription stand-in answers instead of the script.
  std::function<std::string(const std::string& wav)> transcribe_;
  std::vector<std::string> transcripts_;
  HttpStandin standin_{[this](const HttpStandin::Request& request) {
    if (transcribe_) {
      const std::string text = transcribe_(request.body());
      std::lock_guard lock(mutex_);
      transcripts_.push_back(text);
      return HttpStandin::reply(200, "application/json",
                                boost::json::serialize(boost::json::object{{"text", text}}));
    }
    std::lock_guard lock(mutex_);
    const std::string text = next_ < script_.size() ? script_[next_++] : "";
    return HttpStandin::reply(200, "application/json",
                              boost::json::serialize(boost::json::object{{"text", text}}));
  }};
  VoiceSettings settings_;
  boost::asio::io_context io_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_{
      io_.get_executor()};
  boost::asio::thread_pool pool_{2};
  std::thread mainThread_;
  std::unique_ptr<VoiceSession> session_;
};

TEST_F(VoiceSessionTest, ASpokenCommandBecomesAPrompt) {
  script_ = {"Run the tests"};
  ASSERT_TRUE(startListening());
  say("run the tests");
  ASSERT_TRUE(test::waitUntil([&] { return !heard().empty(); }))
      << standin_.requests().size() << " " << onMain([&] {
           return session_->transcript() + "/" + session_->volatileTranscript() + "/" +
                  session_->lastError().value_or("");
         });
  EXPECT_EQ(heard(), std::vector<std::string>{"prompt: Run the tests"});
  // The server heard the whole recording in one piece, not clipped.
  ASSERT_EQ(standin_.requests().size(), 1u);
  EXPECT_GT(standin_.requests().at(0).body().size(), 2 * voiced(spoken("run the tests")).size());
}

TEST_F(VoiceSessionTest, SendItAndScratchThatAreCommands) {
  script_ = {"send it", "Delete the build directory", "scratch that", "Fix the bug,", "send it"};
  ASSERT_TRUE(startListening());
  say("send it");
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() == 1; }));
  say("delete the build directory");
  say("scratch that");
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() == 2; }));
  say("fix the bug");
  say("send it");
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() == 3; }));
  EXPECT_EQ(heard(),
            (std::vector<std::string>{"meta: sendIt", "meta: scratchThat", "prompt: Fix the bug"}));
  EXPECT_EQ(onMain([&] { return session_->transcript() + session_->volatileTranscript(); }), "");
}

TEST_F(VoiceSessionTest, WordsSaidAfterABreathBelongToTheSamePrompt) {
  // The breath is shorter than the 700 ms a finished sentence waits, but
  // the first sentence is heard and transcribed before the second begins.
  script_ = {"Delete the build folder.", "Never mind."};
  ASSERT_TRUE(startListening());
  std::vector<std::int16_t> audio(16 * 300, 0);
  for (const auto& words : {voiced(spoken("delete the build folder")), silent(500),
                            voiced(spoken("never mind")), silent(800)})
    audio.insert(audio.end(), words.begin(), words.end());
  daemon_.speakLive(audio);
  ASSERT_TRUE(test::waitUntil([&] { return !heard().empty(); }));
  EXPECT_EQ(heard(), std::vector<std::string>{"meta: scratchThat"});
  EXPECT_EQ(standin_.requests().size(), 2u);

  // A machine too busy to hand the breath over in time: the microphone's
  // audio stops once the first sentence has ended, and the rest comes late.
  // The pause is the person's, not the clock's.
  script_.insert(script_.end(), {"Delete the build folder.", "Never mind."});
  audio = voiced(spoken("delete the build folder"));
  audio.insert(audio.end(), 16 * 480, 0);
  daemon_.speakLive(audio);
  ASSERT_TRUE(test::waitUntil([&] {
    return onMain([&] { return session_->transcript(); }) == "Delete the build folder.";
  })) << standin_.requests().size()
      << " " << onMain([&] { return session_->transcript(); });
  EXPECT_FALSE(test::waitUntil([&] { return heard().size() > 1; }, std::chrono::milliseconds(600)))
      << heard().back();
  audio = silent(40);
  for (const auto& words : {voiced(spoken("never mind")), silent(800)})
    audio.insert(audio.end(), words.begin(), words.end());
  daemon_.speakLive(audio);
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() > 1; }));
  EXPECT_EQ(heard().back(), "meta: scratchThat");
}

TEST_F(VoiceSessionTest, WithoutEchoCancellationWordsPlayedWhileParleySpeaksAreNotTranscribed) {
  script_ = {"What changed", "What?"};
  settings_.echoCancellation = false;
  makeSession();
  ASSERT_TRUE(startListening());
  onMain([&] {
    session_->speak(
        protocol::Narration{"Done.", "I changed three files and all the tests pass.", true, {}});
    return 0;
  });
  ASSERT_TRUE(test::waitUntil([&] { return onMain([&] { return session_->isSpeaking(); }); }));
  say("I changed three files and all the tests pass");
  ASSERT_TRUE(test::waitUntil([&] { return !onMain([&] { return session_->isSpeaking(); }); }));
  EXPECT_TRUE(standin_.requests().empty());
  say("what changed");
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() == 1; }));
  EXPECT_EQ(heard().at(0), "prompt: What changed");
  // "what?" repeats the last reply.
  say("what");
  ASSERT_TRUE(test::waitUntil([&] { return heard().size() == 2; }));
  EXPECT_EQ(heard().at(1), "meta: repeatLast");
  EXPECT_EQ(onMain([&] { return session_->lastSpoken().value_or(""); }),
            "I changed three files and all the tests pass.");
}

TEST_F(VoiceSessionTest, StopSaidOverParleysSpeechStopsItAndItsWordsAreNeverThePersons) {
  // The person's word, nearer the microphone than the speakers are.
  auto stop = voiced(spoken("stop"));
  for (auto& sample : stop)
    sample = static_cast<std::int16_t>(sample * 6 / 10);
  const std::string reply =
      "I changed three files and all the tests pass, with no warnings. The build takes four "
      "minutes on this machine, and the slowest step is linking the test programs.";
  // A recogniser that never errs about the person, and hears anything else
  // as the worst of what Parley says: its own "no", a command.
  transcribe_ = [stop](const std::string& body) -> std::string {
    return test::Room::likeness(test::HttpStandin::uploadedSamples(body), stop) > 0.5 ? "Stop."
                                                                                      : "No.";
  };
  test::Room room(daemon_, std::chrono::milliseconds(40), 0.5f);
  ASSERT_EQ(room.problem(), "");
  ASSERT_TRUE(startListening());
  onMain([&] {
    session_->speak(reply);
    return 0;
  });
  // Two seconds into the reply, the canceller has learnt the room.
  ASSERT_TRUE(test::waitUntil([&] { return room.playingFor() > std::chrono::seconds(2); }));
  const auto said = std::chrono::steady_clock::now();
  room.say(stop);
  ASSERT_TRUE(test::waitUntil([&] { return !heard().empty(); })) << transcripts().size();
  EXPECT_EQ(heard(), std::vector<std::string>{"meta: stop"});
  EXPECT_FALSE(onMain([&] { return session_->isSpeaking(); }));
  // The speakers fell silent soon after the word, long before the reply's end.
  ASSERT_TRUE(test::waitUntil([&] {
    return room.lastPlayed() &&
           std::chrono::steady_clock::now() - *room.lastPlayed() > std::chrono::milliseconds(600);
  }));
  EXPECT_LT(*room.lastPlayed() - said, std::chrono::seconds(3));
  // Nothing of what Parley said was taken for the person's words, then or
  // from what the microphone still held.
  EXPECT_FALSE(test::waitUntil([&] { return heard().size() > 1; }, std::chrono::seconds(2)))
      << heard().back();
  EXPECT_EQ(onMain([&] { return session_->transcript() + session_->volatileTranscript(); }), "");
}

TEST_F(VoiceSessionTest, APromptFinishedBeforeParleySpeaksIsStillTheirs) {
  // The transcription comes back once Parley has begun to speak.
  std::atomic<bool> uploaded{false};
  transcribe_ = [&](const std::string&) -> std::string {
    uploaded = true;
    test::waitUntil([&] { return onMain([&] { return session_->isSpeaking(); }); });
    return "Run the tests";
  };
  ASSERT_TRUE(startListening());
  say("run the tests");
  ASSERT_TRUE(test::waitUntil([&] { return uploaded.load(); }));
  onMain([&] {
    session_->speak("The build is still running, and I will tell you when it is done.");
    return 0;
  });
  ASSERT_TRUE(test::waitUntil([&] { return !heard().empty(); }));
  EXPECT_EQ(heard(), std::vector<std::string>{"prompt: Run the tests"});
}

TEST_F(VoiceSessionTest, ParleysWordsAtTheStartOfALaterReplyAreNeverThePersons) {
  // A recogniser that hears anything as a command Parley never says, as a
  // transcription model may hear what the canceller lets through of our
  // speech: at the start of a reply, or across short replies one after the
  // other, where a capture begun in one ends in the next.
  transcribe_ = [](const std::string&) -> std::string { return "No."; };
  test::Room room(daemon_, std::chrono::milliseconds(40), 0.5f);
  ASSERT_EQ(room.problem(), "");
  ASSERT_TRUE(startListening());
  auto reply = [&](const std::string& text) {
    onMain([&] {
      session_->speak(text);
      return 0;
    });
    ASSERT_TRUE(test::waitUntil([&] { return onMain([&] { return session_->isSpeaking(); }); }));
    ASSERT_TRUE(test::waitUntil([&] { return !onMain([&] { return session_->isSpeaking(); }); },
                                std::chrono::seconds(30)));
  };
  reply("I changed three files and all the tests pass. The build takes four minutes.");
  for (int i = 0; i < 3; ++i)
    reply("Counted.");
  // What the microphone held when the last reply ended has been heard out.
  EXPECT_FALSE(test::waitUntil([&] { return !heard().empty(); }, std::chrono::seconds(2)))
      << heard().front();
}

TEST(VoiceSessionStart, ExplainsAMissingMicrophoneOrServer) {
  boost::asio::io_context io;
  VoiceSettings settings;
  settings.recognizer = VoiceSettings::Recognizer::http;
  for (const bool serverRuns : {true, false}) {
    std::optional<test::PulseDaemon> daemon;
    std::optional<test::ScopedEnv> noServer;
    if (serverRuns) {
      daemon.emplace(false);
      if (!daemon->problem().empty())
        GTEST_SKIP() << daemon->problem();
    } else {
      noServer.emplace("PULSE_SERVER", "unix:/nonexistent/parley-native");
    }
    VoiceSession session(settings, io.get_executor(), io.get_executor());
    std::string error;
    EXPECT_FALSE(session.start(error));
    EXPECT_FALSE(session.isRunning());
    if (serverRuns) {
      EXPECT_EQ(error, "No input device is available.");
    } else {
      EXPECT_EQ(error.rfind("The sound server cannot be reached", 0), 0u) << error;
    }
    EXPECT_EQ(session.lastError(), error);
  }
}

}  // namespace
}  // namespace parley::desktop

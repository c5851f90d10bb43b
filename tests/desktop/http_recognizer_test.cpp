#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <mutex>

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/http_recognizer.hpp"
#include "http_standin.hpp"
#include "test_support.hpp"

namespace parley::desktop {
namespace {

using Kind = SpeechRecognizer::Event::Kind;
using test::HttpStandin;

// Words between stretches of silence: one utterance for the cutter.
const std::vector<float>& spokenUtterance() {
  static const std::vector<float> samples = [] {
    std::vector<float> out(16000 * 3 / 10, 0.0f);
    for (const auto s : EspeakSynthesizer::synthesize("run the tests", std::nullopt, "en-US", 1.0f)
                            .resampled(16000)
                            .samples)
      out.push_back(static_cast<float>(s) / 32768.0f);
    out.insert(out.end(), 16000 * 8 / 10, 0.0f);
    return out;
  }();
  return samples;
}

struct Recorder {
  std::mutex mutex;
  std::vector<SpeechRecognizer::Event> events;

  // What each utterance came to: the start of speech is left out.
  void attach(SpeechRecognizer& recognizer) {
    recognizer.onEvent = [this](const SpeechRecognizer::Event& event) {
      std::lock_guard lock(mutex);
      if (event.kind != Kind::speechStarted)
        events.push_back(event);
    };
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return events.size();
  }
  SpeechRecognizer::Event at(std::size_t i) {
    std::lock_guard lock(mutex);
    return events.at(i);
  }
};

class HttpRecognizerTest : public ::testing::Test {
 protected:
  std::shared_ptr<HttpRecognizer> make(
      const std::string& url, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    auto recognizer =
        std::make_shared<HttpRecognizer>(url, "whisper-1", timeout, pool_.get_executor());
    recorder_.attach(*recognizer);
    return recognizer;
  }
  void TearDown() override { pool_.join(); }

  boost::asio::thread_pool pool_{2};
  Recorder recorder_;
};

TEST_F(HttpRecognizerTest, PostsEachUtteranceAndReportsTheOutcome) {
  struct Case {
    std::string name;
    std::function<std::optional<HttpStandin::Response>()> answer;
    Kind kind;
    std::string text;  // the event's text, or its start for a transport failure
  };
  const std::vector<Case> cases{
      {"success",
       [] { return HttpStandin::reply(200, "application/json", R"({"text":" Run the tests. "})"); },
       Kind::finalizedText, "Run the tests."},
      {"nothing heard",
       [] { return HttpStandin::reply(200, "application/json", R"({"text":" "})"); },
       Kind::nothingRecognized, ""},
      {"http error", [] { return HttpStandin::reply(500, "text/plain", "model not loaded\n"); },
       Kind::failed,
       "Transcription stopped: the transcription server answered HTTP 500: model not loaded"},
      {"garbage", [] { return HttpStandin::reply(200, "text/html", "<html>busy</html>"); },
       Kind::failed, "Transcription stopped: the transcription server's reply has no text"},
      {"timeout", [] { return std::nullopt; }, Kind::failed,
       "Transcription stopped: the transcription server at "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpStandin standin([&](const auto&) { return c.answer(); });
    const std::size_t before = recorder_.count();
    auto recognizer = make(standin.url() + "/", std::chrono::milliseconds(500));
    ASSERT_TRUE(recognizer->prepare("en-US"));
    ASSERT_TRUE(recognizer->start({"~/code/web-socket-server/"}));
    const auto appending = std::chrono::steady_clock::now();
    recognizer->append(spokenUtterance());
    const auto appended = std::chrono::steady_clock::now();
    ASSERT_TRUE(test::waitUntil([&] { return recorder_.count() > before; }));
    const auto event = recorder_.at(before);
    EXPECT_EQ(event.kind, c.kind);
    EXPECT_EQ(event.text.substr(0, c.text.size()), c.text);
    if (c.kind == Kind::finalizedText) {
      // The words ended 450 ms of audio before the cut: the gate's 200 ms
      // of quiet and the 250 ms hangover.
      ASSERT_TRUE(event.speechEnded);
      EXPECT_GE(*event.speechEnded, appending - std::chrono::milliseconds(450));
      EXPECT_LE(*event.speechEnded, appended - std::chrono::milliseconds(450));
    }
    const auto request = standin.requests().at(0);
    EXPECT_EQ(request.target(), "/v1/audio/transcriptions");
    EXPECT_NE(request.body().find("RIFF"), std::string::npos);
    EXPECT_NE(request.body().find("web socket server"), std::string::npos);  // the prompt
    recognizer->stop();
  }
}

TEST_F(HttpRecognizerTest, DropsMutedAudioAndResultsAfterStop) {
  std::atomic<int> seen{0};
  HttpStandin standin([&](const auto&) -> std::optional<HttpStandin::Response> {
    const int n = ++seen;
    if (n == 1)
      return std::nullopt;  // left hanging until the client gives up
    return HttpStandin::reply(200, "application/json", R"({"text":"second"})");
  });
  auto recognizer = make(standin.url(), std::chrono::milliseconds(300));
  ASSERT_TRUE(recognizer->prepare("en-US"));
  ASSERT_TRUE(recognizer->start({}));
  recognizer->setAcceptingAudio(false);
  recognizer->append(spokenUtterance());
  recognizer->setAcceptingAudio(true);
  recognizer->append(spokenUtterance());
  ASSERT_TRUE(test::waitUntil([&] { return seen.load() == 1; }));
  recognizer->stop();  // its timeout now arrives after stop: no event
  ASSERT_TRUE(recognizer->start({}));
  recognizer->append(spokenUtterance());
  ASSERT_TRUE(test::waitUntil([&] { return recorder_.count() > 0; }));
  EXPECT_EQ(recorder_.at(0).text, "second");
  EXPECT_EQ(recorder_.count(), 1u);
  EXPECT_EQ(seen.load(), 2);
}

TEST_F(HttpRecognizerTest, ReportsUnusableSetups) {
  auto bad = make("ftp://nowhere");
  EXPECT_FALSE(bad->prepare("en-US"));
  EXPECT_FALSE(bad->start({}));
  ASSERT_EQ(recorder_.count(), 2u);
  EXPECT_EQ(recorder_.at(0).kind, Kind::assetsUnavailable);
  EXPECT_EQ(recorder_.at(0).text,
            "The transcription server address ftp://nowhere/v1/audio/transcriptions is not a valid "
            "http(s) URL.");
  EXPECT_EQ(recorder_.at(1).text, "The speech model is not ready yet.");
}

}  // namespace
}  // namespace parley::desktop

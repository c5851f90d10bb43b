#include <gtest/gtest.h>

#include <boost/asio/thread_pool.hpp>
#include <mutex>

#include "desktop/espeak_synthesizer.hpp"
#include "desktop/pocketsphinx_recognizer.hpp"
#include "test_support.hpp"

namespace parley::desktop {
namespace {

using Kind = SpeechRecognizer::Event::Kind;

std::vector<float> recording(const std::string& text) {
  const auto speech =
      EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f).resampled(16000);
  std::vector<float> samples(16000 / 2, 0.0f);
  for (const auto s : speech.samples)
    samples.push_back(static_cast<float>(s) / 32768.0f);
  samples.insert(samples.end(), 16000, 0.0f);
  return samples;
}

TEST(PocketsphinxRecognizer, StreamsPartialsThenAFinalResult) {
  boost::asio::thread_pool pool(1);
  auto recognizer = std::make_shared<PocketsphinxRecognizer>("/usr/share/pocketsphinx/model/en-us",
                                                             pool.get_executor());
  std::mutex mutex;
  std::vector<SpeechRecognizer::Event> events;
  recognizer->onEvent = [&](const SpeechRecognizer::Event& event) {
    std::lock_guard lock(mutex);
    events.push_back(event);
  };
  if (!recognizer->prepare("en-US"))
    GTEST_SKIP() << "the pocketsphinx-en-us model is not installed";
  ASSERT_TRUE(recognizer->start({}));
  const auto samples = recording("run the tests");
  for (std::size_t at = 0; at < samples.size(); at += 320) {
    recognizer->append(
        std::span(samples).subspan(at, std::min<std::size_t>(320, samples.size() - at)));
  }
  ASSERT_TRUE(test::waitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return !events.empty() && events.back().kind == Kind::finalizedText;
      },
      std::chrono::seconds(30)));
  std::lock_guard lock(mutex);
  EXPECT_EQ(events.front().kind, Kind::speechStarted);
  EXPECT_EQ(events.at(1).kind, Kind::volatileText);
  // What it makes of a synthetic voice is measured in bench/, not asserted.
  EXPECT_FALSE(events.back().text.empty());
  recognizer->stop();
}

TEST(PocketsphinxRecognizer, ExplainsAMissingModel) {
  boost::asio::thread_pool pool(1);
  for (const auto& [dir, locale, message] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"/nonexistent", "en-US",
            "The speech model is missing from /nonexistent (install the Debian package "
            "pocketsphinx-en-us)."},
           {"/usr/share/pocketsphinx/model/en-us", "de-DE",
            "Speech recognition is not available for de-DE."}}) {
    auto recognizer = std::make_shared<PocketsphinxRecognizer>(dir, pool.get_executor());
    std::vector<std::string> messages;
    recognizer->onEvent = [&](const SpeechRecognizer::Event& event) {
      messages.push_back(event.text);
    };
    EXPECT_FALSE(recognizer->prepare(locale));
    EXPECT_FALSE(recognizer->start({}));
    EXPECT_EQ(messages, (std::vector<std::string>{message, "The speech model is not ready yet."}));
  }
  pool.join();
}

}  // namespace
}  // namespace parley::desktop

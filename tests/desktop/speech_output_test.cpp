#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>

#include "desktop/audio_player.hpp"
#include "desktop/eleven_labs_client.hpp"
#include "desktop/espeak_synthesizer.hpp"
#include "desktop/speech_renderer.hpp"
#include "http_standin.hpp"
#include "pulse_daemon.hpp"

namespace parley::desktop {
namespace {

using test::HttpStandin;

VoiceSettings elevenLabsSettings(const std::string& url) {
  VoiceSettings settings;
  settings.speech = VoiceSettings::Speech::elevenLabs;
  settings.elevenLabsApiKey = "sk-test-key";
  settings.elevenLabsVoiceId = "voice 1";
  settings.elevenLabsBaseUrl = url;
  return settings;
}

TEST(ElevenLabsClient, SendsTheDocumentedRequest) {
  HttpStandin standin([](const auto&) { return HttpStandin::reply(200, "audio/pcm", "\x01\x02"); });
  EXPECT_EQ(ElevenLabsClient(standin.url()).synthesize("Hello there", "voice 1", "sk-test-key"),
            "\x01\x02");
  const auto request = standin.requests().at(0);
  EXPECT_EQ(request.method(), boost::beast::http::verb::post);
  EXPECT_EQ(request.target(), "/v1/text-to-speech/voice%201?output_format=pcm_24000");
  EXPECT_EQ(request["xi-api-key"], "sk-test-key");
  EXPECT_EQ(request["Content-Type"], "application/json");
  EXPECT_EQ(boost::json::parse(request.body()),
            (boost::json::value{{"text", "Hello there"}, {"model_id", "eleven_turbo_v2_5"}}));
}

TEST(ElevenLabsClient, RejectsWhatIsNotAudio) {
  const std::string longBody(300, 'x');
  struct Case {
    unsigned status;
    std::string contentType;
    std::string body;
    std::string description;
  };
  const std::vector<Case> cases{
      {401, "text/plain", longBody, "ElevenLabs HTTP 401: " + longBody.substr(0, 200)},
      {500, "text/plain", "\xff\xfe broken", "ElevenLabs HTTP 500: "},
      {200, "application/json; charset=utf-8", "{\"detail\":1}",
       "ElevenLabs returned application/json; charset=utf-8, not audio"},
      {200, "audio/pcm", "", "ElevenLabs response could not be parsed"},
  };
  for (const auto& c : cases) {
    HttpStandin standin(
        [&](const auto&) { return HttpStandin::reply(c.status, c.contentType, c.body); });
    try {
      ElevenLabsClient(standin.url()).synthesize("Hi", "v", "k");
      ADD_FAILURE() << c.description;
    } catch (const ElevenLabsClient::ClientError& error) {
      EXPECT_EQ(error.what(), c.description);
    }
  }
}

TEST(ElevenLabsClient, DecodesLittleEndianSamplesAndDropsAnOddByte) {
  std::string bytes(48001, '\0');
  bytes[0] = '\x34';
  bytes[1] = '\x12';
  bytes[2] = '\xff';
  bytes[3] = '\xff';
  const PcmAudio audio = ElevenLabsClient::decodePcm(bytes);
  EXPECT_EQ(audio.sampleRate, 24000);
  ASSERT_EQ(audio.samples.size(), 24000u);
  EXPECT_EQ(audio.samples[0], 0x1234);
  EXPECT_EQ(audio.samples[1], -1);
  EXPECT_TRUE(ElevenLabsClient::decodePcm("\x01").empty());
}

TEST(SpeechRenderer, UsesElevenLabsAndFallsBackToTheSystemVoice) {
  bool fail = false;
  HttpStandin standin([&](const auto&) {
    return fail ? HttpStandin::reply(503, "text/plain", "overloaded")
                : HttpStandin::reply(200, "audio/pcm", std::string(4800, '\x01'));
  });
  SpeechRenderer renderer(elevenLabsSettings(standin.url()));
  const PcmAudio remote = renderer.render("  Tests pass.  ", "en-US");
  EXPECT_EQ(remote.sampleRate, 24000);
  EXPECT_EQ(remote.samples.size(), 2400u);
  EXPECT_EQ(boost::json::parse(standin.requests().at(0).body()).at("text"), "Tests pass.");

  fail = true;
  const PcmAudio local = renderer.render("Tests pass.", "en-US");
  EXPECT_EQ(standin.requests().size(), 2u);
  EXPECT_NE(local.sampleRate, 24000);
  EXPECT_GT(local.samples.size(), 1000u);
  EXPECT_TRUE(renderer.render(" \n ", "en-US").empty());
}

TEST(SpeechRenderer, WithoutAKeyNeverCallsElevenLabs) {
  HttpStandin standin([](const auto&) { return HttpStandin::reply(200, "audio/pcm", "xx"); });
  auto settings = elevenLabsSettings(standin.url());
  settings.elevenLabsApiKey.reset();
  SpeechRenderer renderer(settings);
  EXPECT_FALSE(renderer.render("Hello", "en-US").empty());
  EXPECT_FALSE(renderer.render("Hello again", "en-US").empty());
  EXPECT_TRUE(standin.requests().empty());
  EXPECT_EQ(renderer.voiceLookups(), 1);  // the voice is chosen once per locale
  ASSERT_TRUE(renderer.voice("en-US"));
  EXPECT_EQ(renderer.voice("en-US")->language.substr(0, 2), "en");
}

TEST(EspeakSynthesizer, ListsVoicesAndHonoursTheRate) {
  const auto voices = EspeakSynthesizer::voices();
  EXPECT_TRUE(std::any_of(voices.begin(), voices.end(),
                          [](const auto& v) { return v.language == "en-us"; }));
  const std::string text = "The quick brown fox jumps over the lazy dog.";
  const auto normal = EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 1.0f);
  const auto fast = EspeakSynthesizer::synthesize(text, std::nullopt, "en-US", 2.0f);
  EXPECT_LT(fast.samples.size() * 3, normal.samples.size() * 2);
}

TEST(PcmAudio, ResamplesAndWritesWav) {
  PcmAudio tone{16000, std::vector<std::int16_t>(16000, 1000)};
  EXPECT_NEAR(static_cast<double>(tone.resampled(48000).samples.size()), 48000.0, 64.0);
  const std::string wav = tone.wav();
  EXPECT_EQ(wav.size(), 44u + 32000u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(36, 4), "data");
}

// The playback streams the sound server has open, by index.
std::vector<std::string> playbackStreams() {
  std::vector<std::string> indices;
  std::unique_ptr<FILE, decltype(&pclose)> pipe(popen("pactl list short sink-inputs", "r"),
                                                &pclose);
  char line[512];
  while (pipe && std::fgets(line, sizeof line, pipe.get()))
    indices.emplace_back(line, std::strcspn(line, "\t"));
  return indices;
}

TEST(AudioPlayer, KeepsOneStreamAcrossRepliesAndCutsAtOnce) {
  test::PulseDaemon daemon(false);
  if (!daemon.problem().empty())
    GTEST_SKIP() << daemon.problem();
  std::mutex mutex;
  std::size_t blocks = 0;
  bool lastLoud = false;
  AudioPlayer player;
  player.setTap([&](std::span<const std::int16_t> samples, auto) {
    std::lock_guard lock(mutex);
    ++blocks;
    lastLoud = std::any_of(samples.begin(), samples.end(), [](std::int16_t s) { return s != 0; });
  });
  auto tapped = [&] {
    std::lock_guard lock(mutex);
    return std::pair(blocks, lastLoud);
  };
  auto playToTheEnd = [&](const PcmAudio& audio) {
    std::promise<std::string> done;
    auto finished = done.get_future();
    player.play(audio, [&](const std::string& error) { done.set_value(error); });
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return finished.get();
  };
  const PcmAudio tone{16000, std::vector<std::int16_t>(16000 / 4, 3000)};

  // Open before anything is said, the stream plays silence, and the
  // canceller hears it go by.
  player.open();
  ASSERT_TRUE(test::waitUntil([&] { return tapped().first > 5 && playbackStreams().size() == 1; }));
  EXPECT_FALSE(tapped().second);
  const auto stream = playbackStreams();
  EXPECT_EQ(playToTheEnd(tone), "");
  EXPECT_EQ(playToTheEnd(tone), "");
  EXPECT_EQ(playbackStreams(), stream);
  // The stream goes on with silence between replies.
  const auto before = tapped().first;
  ASSERT_TRUE(test::waitUntil([&] { return tapped().first > before + 5 && !tapped().second; }));

  // A cut ends the reply before cut() returns, and silence follows.
  bool finished = false;
  player.play(PcmAudio{16000, std::vector<std::int16_t>(16000 * 10, 3000)},
              [&](const std::string&) { finished = true; });
  ASSERT_TRUE(test::waitUntil([&] { return tapped().second; }));
  EXPECT_TRUE(player.isPlaying());
  player.cut();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(player.isPlaying());
  ASSERT_TRUE(test::waitUntil([&] { return !tapped().second; }));
  EXPECT_EQ(playbackStreams(), stream);

  // Closed, the stream is gone; the next reply opens another.
  player.close();
  EXPECT_TRUE(test::waitUntil([] { return playbackStreams().empty(); }));
  EXPECT_EQ(playToTheEnd(tone), "");
  EXPECT_EQ(playbackStreams().size(), 1u);
  EXPECT_NE(playbackStreams(), stream);
  EXPECT_EQ(playToTheEnd(PcmAudio{}), "");
}

}  // namespace
}  // namespace parley::desktop

#include "cli/voice_commands.hpp"

#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <mutex>
#include <ostream>
#include <thread>

#include "base/paths.hpp"
#include "desktop/audio_devices.hpp"
#include "desktop/audio_input.hpp"
#include "desktop/audio_player.hpp"
#include "desktop/speech_recognizer.hpp"
#include "desktop/speech_renderer.hpp"
#include "desktop/voice_settings.hpp"

namespace parley::cli {
namespace {

desktop::VoiceSettings loadSettings(std::ostream& err) {
  auto settings = desktop::VoiceSettings::load(base::configDirectory() / "preferences.json");
  for (const auto& warning : settings.warnings)
    err << "warning: " << warning << "\n";
  return settings;
}

void listDevices(const std::vector<desktop::AudioDevice>& devices, const std::string& defaultName,
                 std::ostream& out) {
  for (const auto& device : devices) {
    out << (device.name == defaultName ? "  * " : "    ") << device.name;
    if (!device.description.empty())
      out << "  (" << device.description << ")";
    if (device.isMonitor)
      out << "  [monitor]";
    out << "\n";
  }
}

int speakText(const desktop::VoiceSettings& settings, const std::string& text, std::ostream& err) {
  desktop::SpeechRenderer renderer(settings);
  const auto audio = renderer.render(text, settings.locale);
  if (audio.empty()) {
    err << "Nothing could be synthesised: check that espeak-ng-data is installed.\n";
    return 1;
  }
  if (const auto error = desktop::AudioPlayer::playNow(audio); !error.empty()) {
    err << error << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int voiceCheckCommand(int seconds, std::ostream& out, std::ostream& err) {
  const auto settings = loadSettings(err);
  desktop::AudioDevices devices;
  try {
    devices = desktop::AudioDevices::query();
  } catch (const std::exception& error) {
    err << "The sound server cannot be reached (" << error.what()
        << "). Check that PulseAudio or PipeWire's pulse server is running.\n";
    return 1;
  }
  out << "Inputs (* default):\n";
  listDevices(devices.sources, devices.defaultSource, out);
  out << "Outputs (* default):\n";
  listDevices(devices.sinks, devices.defaultSink, out);
  out << "Recognition: " << desktop::VoiceSettings::name(settings.recognizer);
  if (settings.recognizer == desktop::VoiceSettings::Recognizer::http) {
    out << " (" << settings.transcriptionUrl << ")";
  }
  out << "\n";
  if (const auto problem = desktop::AudioDevices::inputProblem(devices)) {
    err << *problem << "\n";
    return 1;
  }

  boost::asio::thread_pool workers(1);
  auto recognizer = desktop::SpeechRecognizer::make(settings, workers.get_executor());
  std::mutex mutex;
  std::string heard;
  std::string problem;
  auto lastEvent = std::chrono::steady_clock::now();
  recognizer->onEvent = [&](const desktop::SpeechRecognizer::Event& event) {
    std::lock_guard lock(mutex);
    lastEvent = std::chrono::steady_clock::now();
    using Kind = desktop::SpeechRecognizer::Event::Kind;
    if (event.kind == Kind::finalizedText) {
      if (!heard.empty())
        heard += " ";
      heard += event.text;
    }
    if (event.kind == Kind::failed || event.kind == Kind::assetsUnavailable)
      problem = event.text;
  };
  if (!recognizer->prepare(settings.locale) || !recognizer->start({})) {
    err << problem << "\n";
    return 1;
  }
  desktop::AudioInput input;
  float peak = 0.0f;
  std::string error;
  out << "Say something; recording for " << seconds << " seconds..." << std::flush;
  if (!input.start(
          [&](std::span<const float> samples) {
            recognizer->append(samples);
            peak = std::max(peak, input.level());
          },
          error)) {
    err << "\n" << error << "\n";
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  input.stop();
  // A second of silence closes an utterance still open, then the results
  // still on their way get a moment to arrive.
  recognizer->append(std::vector<float>(desktop::AudioInput::sampleRate, 0.0f));
  const auto deadline = std::chrono::steady_clock::now() + settings.transcriptionTimeout;
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard lock(mutex);
    const auto now = std::chrono::steady_clock::now();
    if (now - lastEvent > std::chrono::seconds(2) || now > deadline)
      break;
  }
  recognizer->stop();
  {
    std::lock_guard lock(mutex);
    out << " done.\nMicrophone peak level: " << static_cast<int>(peak * 100) << "%\n";
    out << "Heard: " << (heard.empty() ? "(nothing)" : heard) << "\n";
    if (!problem.empty())
      err << problem << "\n";
  }
  workers.join();
  out << "Speaking a test sentence.\n";
  return speakText(settings, "Parley can hear you and speak to you.", err);
}

int sayCommand(const std::string& text, std::ostream&, std::ostream& err) {
  return speakText(loadSettings(err), text, err);
}

}  // namespace parley::cli

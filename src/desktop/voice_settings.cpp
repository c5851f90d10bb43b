#include "desktop/voice_settings.hpp"

#include <sys/stat.h>
#include <boost/json.hpp>
#include <cstdlib>

#include "base/files.hpp"

namespace parley::desktop {
namespace {

std::optional<std::string> stringMember(const boost::json::object& object, const char* key) {
  const auto* value = object.if_contains(key);
  if (!value || !value->is_string() || value->as_string().empty())
    return std::nullopt;
  return std::string(value->as_string());
}

bool privateToOwner(const std::filesystem::path& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 && (info.st_mode & 077) == 0;
}

}  // namespace

const char* VoiceSettings::name(Recognizer recognizer) {
  return recognizer == Recognizer::http ? "http" : "pocketsphinx";
}

VoiceSettings VoiceSettings::load(const std::filesystem::path& preferencesFile) {
  VoiceSettings settings;
  boost::json::object voice;
  std::optional<std::string> content;
  try {
    content = base::readFileIfExists(preferencesFile);
  } catch (const base::FileError& e) {
    settings.warnings.emplace_back(e.what());
  }
  if (content) {
    boost::system::error_code error;
    const boost::json::value root = boost::json::parse(*content, error);
    if (error || !root.is_object()) {
      settings.warnings.push_back(preferencesFile.string() + " is not a JSON object");
    } else if (const auto* member = root.as_object().if_contains("voice");
               member && member->is_object()) {
      voice = member->as_object();
    }
  }

  if (auto value = stringMember(voice, "recognizer")) {
    if (*value == "http") {
      settings.recognizer = Recognizer::http;
    } else if (*value != "pocketsphinx") {
      settings.warnings.push_back("unknown recognizer \"" + *value + "\"; using pocketsphinx");
    }
  }
  if (auto value = stringMember(voice, "transcriptionUrl"))
    settings.transcriptionUrl = *value;
  if (auto value = stringMember(voice, "transcriptionModel"))
    settings.transcriptionModel = *value;
  if (const auto* value = voice.if_contains("transcriptionTimeoutMs");
      value && value->is_int64() && value->as_int64() > 0) {
    settings.transcriptionTimeout = std::chrono::milliseconds(value->as_int64());
  }
  if (auto value = stringMember(voice, "pocketsphinxModel"))
    settings.pocketsphinxModel = *value;
  if (auto value = stringMember(voice, "speech")) {
    if (*value == "elevenLabs") {
      settings.speech = Speech::elevenLabs;
    } else if (*value != "system") {
      settings.warnings.push_back("unknown speech provider \"" + *value + "\"; using system");
    }
  }
  settings.systemVoice = stringMember(voice, "systemVoice");
  if (const auto* value = voice.if_contains("rate"); value && value->is_number()) {
    const double rate = value->to_number<double>();
    if (rate > 0.1 && rate < 4.0)
      settings.rateMultiplier = static_cast<float>(rate);
  }
  if (const auto* value = voice.if_contains("echoCancellation"); value && value->is_bool())
    settings.echoCancellation = value->as_bool();
  settings.elevenLabsVoiceId = stringMember(voice, "elevenLabsVoiceId");
  if (auto value = stringMember(voice, "elevenLabsBaseUrl"))
    settings.elevenLabsBaseUrl = *value;
  if (auto key = stringMember(voice, "elevenLabsApiKey")) {
    if (privateToOwner(preferencesFile)) {
      settings.elevenLabsApiKey = key;
    } else {
      settings.warnings.push_back("the ElevenLabs key in " + preferencesFile.string() +
                                  " is ignored: the file is readable by others (chmod 600 it)");
    }
  }
  if (!settings.elevenLabsApiKey) {
    if (const char* env = std::getenv("ELEVENLABS_API_KEY"); env && *env) {
      settings.elevenLabsApiKey = std::string(env);
    }
  }
  return settings;
}

}  // namespace parley::desktop

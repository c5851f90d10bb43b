#include "desktop/eleven_labs_client.hpp"

#include <boost/json.hpp>
#include <boost/url.hpp>

#include "desktop/http_client.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace parley::desktop {

ElevenLabsClient::ClientError ElevenLabsClient::ClientError::http(long status,
                                                                  const std::string& body) {
  const std::string_view valid = text::isValidUtf8(body) ? std::string_view(body) : "";
  return ClientError("ElevenLabs HTTP " + std::to_string(status) + ": " +
                     std::string(text::characterPrefix(valid, 200)));
}

ElevenLabsClient::ClientError ElevenLabsClient::ClientError::notAudio(
    const std::string& contentType) {
  return ClientError("ElevenLabs returned " + contentType + ", not audio");
}

ElevenLabsClient::ClientError ElevenLabsClient::ClientError::malformedResponse() {
  return ClientError("ElevenLabs response could not be parsed");
}

std::string ElevenLabsClient::synthesize(const std::string& text, const std::string& voiceId,
                                         const std::string& apiKey) const {
  boost::urls::url url(baseUrl_);
  url.segments().push_back("v1");
  url.segments().push_back("text-to-speech");
  url.segments().push_back(voiceId);
  url.params().set("output_format", "pcm_24000");
  const std::string body = boost::json::serialize(
      boost::json::object{{"text", text}, {"model_id", "eleven_turbo_v2_5"}});
  const HttpReply reply =
      HttpClient::post(std::string(url.buffer()),
                       {"xi-api-key: " + apiKey, "Content-Type: application/json"}, body, timeout_);
  if (reply.status < 200 || reply.status > 299)
    throw ClientError::http(reply.status, reply.body);
  if (reply.contentType.find("json") != std::string::npos) {
    throw ClientError::notAudio(reply.contentType);
  }
  if (reply.body.empty())
    throw ClientError::malformedResponse();
  return reply.body;
}

PcmAudio ElevenLabsClient::decodePcm(const std::string& bytes) {
  PcmAudio audio{sampleRate, {}};
  audio.samples.resize(bytes.size() / 2);
  for (std::size_t i = 0; i < audio.samples.size(); ++i) {
    const auto low = static_cast<unsigned char>(bytes[2 * i]);
    const auto high = static_cast<unsigned char>(bytes[2 * i + 1]);
    audio.samples[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
  }
  return audio;
}

}  // namespace parley::desktop

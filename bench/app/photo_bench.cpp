// A phone photo from the tap on Send to the request that carries it at the
// Messages API, over loopback: the real phone page in headless Chromium,
// paired with the real `parley pair` to the real `parley run`, follows the
// real Claude Code 2.1.222 (talking to the test suite's stand-in for the
// API). The page paints a photo-like 4032×3024 picture (shapes under
// sensor-like noise, so it does not compress to nothing) and encodes it as
// a JPEG of about 3 MB; each round it goes into the composer's file input as
// the file picker would put it there, the page scales it down as it does any
// photo, and a prompt is typed and sent. The page notes the tap; the
// stand-in notes when the request with the image block has been read whole.
// A UserPromptSubmit hook beside Parley's notes when the prompt reached
// Claude Code, which splits the time into Parley's part (upload, store,
// paste) and Claude Code's (reading the image, asking the API).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/json.hpp>
#include <chrono>
#include <optional>
#include <string_view>

#include "claude_code_session.hpp"
#include "parley_run.hpp"
#include "support/web_driver.hpp"

namespace parley::bench {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace std::chrono_literals;

constexpr int kRounds = 5;
constexpr int kWarmup = 1;

// Leaves the File in globalThis.benchPhoto (or why not, as a string).
constexpr const char* kPaintPhoto = R"js(
globalThis.benchPhoto = null;
(async () => {
  const w = 4032, h = 3024;
  const canvas = document.createElement('canvas');
  canvas.width = w;
  canvas.height = h;
  const g = canvas.getContext('2d', { willReadFrequently: true });
  let seed = 20261207;
  const rnd = () => (seed = (Math.imul(seed, 1103515245) + 12345) >>> 0) / 4294967296;
  const sky = g.createLinearGradient(0, 0, 0, h);
  sky.addColorStop(0, '#7fb2e5');
  sky.addColorStop(0.55, '#d9e6f2');
  sky.addColorStop(0.56, '#5b7f3a');
  sky.addColorStop(1, '#2f4a1c');
  g.fillStyle = sky;
  g.fillRect(0, 0, w, h);
  for (let i = 0; i < 600; i++) {
    g.fillStyle = `hsla(${rnd() * 360}, 45%, ${25 + rnd() * 50}%, 0.7)`;
    g.beginPath();
    g.ellipse(rnd() * w, rnd() * h, 10 + rnd() * 300, 10 + rnd() * 150, rnd() * Math.PI, 0,
              2 * Math.PI);
    g.fill();
  }
  const scene = g.getImageData(0, 0, w, h);
  // Stronger noise until the JPEG weighs what a phone's photo does.
  for (let amplitude = 4; ; amplitude *= 1.2) {
    const noisy = new ImageData(new Uint8ClampedArray(scene.data), w, h);
    const d = noisy.data;
    for (let i = 0; i < d.length; i += 4) {
      const n = (rnd() - 0.5) * amplitude;
      d[i] += n;
      d[i + 1] += n + (rnd() - 0.5) * amplitude * 0.5;
      d[i + 2] += n;
    }
    g.putImageData(noisy, 0, 0);
    const blob = await new Promise((resolve) => canvas.toBlob(resolve, 'image/jpeg', 0.9));
    if (blob.size >= 2.9e6 || amplitude > 200) {
      globalThis.benchPhoto = new File([blob], 'IMG_0001.jpg', { type: 'image/jpeg' });
      return;
    }
  }
})().catch((e) => { globalThis.benchPhoto = String(e); });
)js";

// The photo into the composer's file input; globalThis.benchScaledMs says
// when the page has scaled it and shows it attached.
constexpr const char* kAttachPhoto = R"js(
const input = document.querySelector('#composer input[type=file]');
const list = document.querySelector('#composer .thumbs');
const chosen = new DataTransfer();
chosen.items.add(globalThis.benchPhoto);
input.files = chosen.files;
globalThis.benchScaledMs = null;
const start = performance.now();
new MutationObserver((_, observer) => {
  if (list.children.length) {
    globalThis.benchScaledMs = performance.now() - start;
    observer.disconnect();
  }
}).observe(list, { childList: true });
input.dispatchEvent(new Event('change'));
)js";

// Wall-clock milliseconds of each tap on Send, noted before the page acts,
// and of each prompt the page sends once its images are stored.
constexpr const char* kNoteTaps = R"js(
globalThis.benchTaps = [];
globalThis.benchPromptsSent = [];
document.getElementById('send').addEventListener('click', () => globalThis.benchTaps.push(Date.now()),
                                                 { capture: true });
const send = WebSocket.prototype.send;
WebSocket.prototype.send = function (data) {
  if (typeof data === 'string' && data.length < 65536 && data.includes('"type":"submit_prompt"'))
    globalThis.benchPromptsSent.push(Date.now());
  return send.call(this, data);
};
)js";

// The bytes of the image block in the last user message of a request, when
// that message also holds `prompt`.
std::optional<std::size_t> imageWith(const test::RecordedRequest& request,
                                     const std::string& prompt) {
  const json::object* body = request.body.if_object();
  const json::value* messages = body ? body->if_contains("messages") : nullptr;
  if (messages == nullptr || !messages->is_array())
    return std::nullopt;
  const json::array& all = messages->get_array();
  const auto user = std::find_if(all.rbegin(), all.rend(), [](const json::value& m) {
    return m.as_object().at("role") == "user";
  });
  const json::value* content =
      user == all.rend() ? nullptr : user->as_object().if_contains("content");
  if (content == nullptr || !content->is_array())
    return std::nullopt;
  std::optional<std::size_t> bytes;
  bool asked = false;
  for (const json::value& block : content->get_array()) {
    const json::object& b = block.as_object();
    if (b.at("type") == "image")
      bytes = b.at("source").at("data").as_string().size() / 4 * 3;
    else if (b.at("type") == "text")
      asked = asked || std::string_view(b.at("text").as_string()).find(prompt) != std::string::npos;
  }
  return asked ? bytes : std::nullopt;
}

struct Samples {
  std::vector<double> total;      // tap -> request read, ms
  std::vector<double> toSent;     // tap -> prompt sent, its image stored
  std::vector<double> toPrompt;   // prompt sent -> UserPromptSubmit hook
  std::vector<double> toRequest;  // hook -> request read
  std::vector<double> scaling;    // chosen -> shown attached
  double photoBytes = 0;
  double uploadedBytes = 0;
};

Samples measure() {
  ParleyRun app;
  test::ClaudeCodeOptions options;
  options.prepareHome = [&](const fs::path& home) { app.start(home, "UserPromptSubmit"); };
  test::ClaudeCodeSession claude(options);
  test::WebDriver browser;
  browser.go("http://127.0.0.1:" + std::to_string(app.port()) + "/" + app.pairingFragment());
  if (!browser.waitForText("#link-state", "Connected", 30s) ||
      !browser.waitFor([&] { return browser.exists("#session:not([hidden])"); }, 30s))
    throw std::runtime_error("the page did not open the session");
  browser.script(kNoteTaps);
  browser.script(kPaintPhoto);
  json::value photo;
  if (!browser.waitFor(
          [&] {
            photo = browser.script(
                "return globalThis.benchPhoto && (globalThis.benchPhoto.size "
                "?? globalThis.benchPhoto)");
            return !photo.is_null();
          },
          120s) ||
      !photo.is_number())
    throw std::runtime_error("the page could not paint the photo: " + json::serialize(photo));

  Samples samples;
  samples.photoBytes = photo.to_number<double>();
  for (int round = 0; round < kWarmup + kRounds; ++round) {
    browser.script(kAttachPhoto);
    json::value scaled;
    if (!browser.waitFor(
            [&] {
              scaled = browser.script("return globalThis.benchScaledMs");
              return !scaled.is_null();
            },
            30s))
      throw std::runtime_error("the page did not attach the photo: " + browser.consoleLog());

    std::string prompt = "what is in photo ";
    prompt += std::to_string(round);
    claude.api().enqueue(test::Turn::text("A meadow under a pale sky."));
    const std::size_t before = claude.api().mainRequests().size();
    browser.type("#prompt", prompt);
    browser.script("document.getElementById('send').scrollIntoView({block: 'center'})");
    browser.click("#send");

    std::optional<test::RecordedRequest> carried;
    for (std::size_t n = before + 1; !carried && n <= before + 3; ++n) {
      if (!claude.api().waitForMainRequests(n, 60s))
        throw std::runtime_error(
            "no request with the photo reached the API; the page says \"" +
            browser.text("#composer-status") + "\"; parley run:\n" +
            app.output().substr(app.output().size() > 2000 ? app.output().size() - 2000 : 0) +
            "\nClaude Code:\n" + claude.screen());
      const test::RecordedRequest request = claude.api().mainRequests().at(n - 1);
      if (imageWith(request, prompt))
        carried = request;
    }
    if (!carried)
      throw std::runtime_error("the requests of round " + std::to_string(round) +
                               " carried no image with the prompt");
    const auto taps = browser.script("return globalThis.benchTaps").as_array();
    const auto sent = browser.script("return globalThis.benchPromptsSent").as_array();
    const auto stamps = app.stamps();
    if (taps.size() != static_cast<std::size_t>(round + 1) ||
        sent.size() != static_cast<std::size_t>(round + 1) ||
        stamps.size() != static_cast<std::size_t>(round + 1))
      throw std::runtime_error("a tap or a prompt of round " + std::to_string(round) +
                               " was not noted");
    if (round >= kWarmup) {
      const double tapped = taps.back().to_number<double>();
      const double submitted = static_cast<double>(stamps.back()) / 1e6;
      const double read = static_cast<double>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                  carried->received.time_since_epoch())
                                                  .count()) /
                          1e3;
      samples.total.push_back(read - tapped);
      samples.toSent.push_back(sent.back().to_number<double>() - tapped);
      samples.toPrompt.push_back(submitted - sent.back().to_number<double>());
      samples.toRequest.push_back(read - submitted);
      samples.scaling.push_back(scaled.to_number<double>());
      samples.uploadedBytes = static_cast<double>(*imageWith(*carried, prompt));
    }
    if (!claude.waitForIdle(60s) || !browser.waitFor([&] {
          return browser
                     .script("return document.querySelector('#composer .thumbs').children.length")
                     .to_number<int>() == 0;
        }))
      throw std::runtime_error("round " + std::to_string(round) + " did not end");
  }
  return samples;
}

void BM_PhotoTapToRequest(benchmark::State& state) {
  if (const auto reason = test::WebDriver::unavailable()) {
    state.SkipWithError(reason->c_str());
    return;
  }
  Samples samples;
  const std::vector<double> total = measureWithClaudeCode(state, [&] {
    samples = measure();
    return samples.total;
  });
  if (total.empty())
    return;
  state.counters["p50_ms"] = percentile(total, 0.5);
  char line[300];
  std::snprintf(line, sizeof line,
                "a %.1f MB 4032x3024 JPEG, sent as %.2f MB after the page's scaling, %d rounds "
                "(target under 1.5 s):",
                samples.photoBytes / 1e6, samples.uploadedBytes / 1e6, kRounds);
  summary().push_back(line);
  for (const auto& [label, values] :
       {std::pair<const char*, const std::vector<double>*>{"tap on Send -> request at the API",
                                                           &samples.total},
        {"  tap -> image uploaded, prompt sent", &samples.toSent},
        {"  prompt sent -> submitted in Claude Code", &samples.toPrompt},
        {"  prompt submitted -> request at the API", &samples.toRequest},
        {"(before the tap: chosen -> scaled, shown)", &samples.scaling}}) {
    std::snprintf(line, sizeof line, "%-42s p50 %7.0f ms, max %7.0f ms", label,
                  percentile(*values, 0.5), *std::max_element(values->begin(), values->end()));
    summary().push_back(line);
  }
}
BENCHMARK(BM_PhotoTapToRequest)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace parley::bench

int main(int argc, char** argv) {
  return parley::bench::benchMain(argc, argv, "A photo from the phone");
}

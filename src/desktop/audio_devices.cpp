#include "desktop/audio_devices.hpp"

#include <pulse/pulseaudio.h>

#include <chrono>
#include <memory>
#include <stdexcept>

namespace parley::desktop {
namespace {

struct Query {
  AudioDevices devices;
  int pending = 0;
  bool failed = false;
};

void onSource(pa_context*, const pa_source_info* info, int eol, void* data) {
  auto* query = static_cast<Query*>(data);
  if (eol != 0) {
    --query->pending;
    return;
  }
  query->devices.sources.push_back({info->name ? info->name : "",
                                    info->description ? info->description : "",
                                    info->monitor_of_sink != PA_INVALID_INDEX});
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* query = static_cast<Query*>(data);
  if (eol != 0) {
    --query->pending;
    return;
  }
  query->devices.sinks.push_back(
      {info->name ? info->name : "", info->description ? info->description : "", false});
}

void onServer(pa_context*, const pa_server_info* info, void* data) {
  auto* query = static_cast<Query*>(data);
  if (info) {
    query->devices.defaultSource = info->default_source_name ? info->default_source_name : "";
    query->devices.defaultSink = info->default_sink_name ? info->default_sink_name : "";
  }
  --query->pending;
}

}  // namespace

std::vector<AudioDevice> AudioDevices::inputs() const {
  std::vector<AudioDevice> result;
  for (const auto& source : sources) {
    if (!source.isMonitor)
      result.push_back(source);
  }
  return result;
}

std::optional<std::string> AudioDevices::inputProblem(const AudioDevices& devices) {
  if (devices.inputs().empty())
    return "No input device is available.";
  return std::nullopt;
}

AudioDevices AudioDevices::query() {
  std::unique_ptr<pa_mainloop, decltype(&pa_mainloop_free)> loop(pa_mainloop_new(),
                                                                 &pa_mainloop_free);
  if (!loop)
    throw std::runtime_error("cannot create an audio main loop");
  std::unique_ptr<pa_context, decltype(&pa_context_unref)> context(
      pa_context_new(pa_mainloop_get_api(loop.get()), "Parley"), &pa_context_unref);
  if (!context)
    throw std::runtime_error("cannot create an audio context");
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    throw std::runtime_error(std::string("no sound server: ") +
                             pa_strerror(pa_context_errno(context.get())));
  }

  // The loop runs until the context is ready and every list has ended; a
  // server that stops answering fails the query instead of hanging it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  Query query;
  bool asked = false;
  while (!asked || query.pending > 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the sound server did not answer");
    }
    const auto state = pa_context_get_state(context.get());
    if (!PA_CONTEXT_IS_GOOD(state)) {
      throw std::runtime_error(std::string("no sound server: ") +
                               pa_strerror(pa_context_errno(context.get())));
    }
    if (state == PA_CONTEXT_READY && !asked) {
      asked = true;
      query.pending = 3;
      pa_operation_unref(pa_context_get_server_info(context.get(), &onServer, &query));
      pa_operation_unref(pa_context_get_source_info_list(context.get(), &onSource, &query));
      pa_operation_unref(pa_context_get_sink_info_list(context.get(), &onSink, &query));
    }
    if (!asked || query.pending > 0) {
      if (pa_mainloop_prepare(loop.get(), 50'000) < 0 || pa_mainloop_poll(loop.get()) < 0 ||
          pa_mainloop_dispatch(loop.get()) < 0) {
        throw std::runtime_error("the sound server connection failed");
      }
    }
  }
  pa_context_disconnect(context.get());
  return std::move(query.devices);
}

}  // namespace parley::desktop

#pragma once

// The audio devices the sound server offers, read through libpulse (which
// PipeWire's pulse server answers too). The server is the one libpulse finds
// by itself: $PULSE_SERVER, else the user's session server.

#include <optional>
#include <string>
#include <vector>

namespace parley::desktop {

struct AudioDevice {
  std::string name;         // the server's name, e.g. alsa_input.pci-0000_00_1f.3.analog-stereo
  std::string description;  // for people
  bool isMonitor = false;   // a sink's monitor, not a microphone
};

struct AudioDevices {
  std::vector<AudioDevice> sources;
  std::vector<AudioDevice> sinks;
  std::string defaultSource;
  std::string defaultSink;

  // Microphones only: sources that are not a sink's monitor.
  std::vector<AudioDevice> inputs() const;

  // Reads the lists. Throws std::runtime_error with the server's reason when
  // no server answers.
  static AudioDevices query();

  // "No input device is available." when there is no microphone, else none.
  static std::optional<std::string> inputProblem(const AudioDevices& devices);
};

}  // namespace parley::desktop

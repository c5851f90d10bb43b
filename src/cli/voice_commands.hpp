#pragma once

// `parley voice check` and `parley say`: desktop voice for people and
// scripts, with the settings the application uses (preferences.json).

#include <iosfwd>
#include <string>

namespace parley::cli {

// Lists the audio devices by their sound-server names with the defaults
// marked, names the recognition backend, records `seconds` of microphone
// audio and prints what was recognised, then speaks a sentence. Exit 1 when
// there is no microphone or the sound server cannot be reached.
int voiceCheckCommand(int seconds, std::ostream& out, std::ostream& err);

// Speaks `text` through the configured speech provider and waits until it
// has been played.
int sayCommand(const std::string& text, std::ostream& out, std::ostream& err);

}  // namespace parley::cli

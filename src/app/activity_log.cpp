#include "app/activity_log.hpp"

#include <time.h>

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include "text/printable.hpp"

namespace parley::app {

std::string_view marker(LogEntry::Kind kind) {
  switch (kind) {
    case LogEntry::Kind::you:
      return "\u203A";
    case LogEntry::Kind::claude:
      return "\u2039";
    case LogEntry::Kind::cmd:
      return "\u00B7";
    case LogEntry::Kind::error:
      break;
  }
  return "!";
}

std::string formatLogLine(const LogEntry& entry) {
  const time_t t = std::chrono::system_clock::to_time_t(entry.timestamp);
  tm local{};
  localtime_r(&t, &local);
  char clock[16];
  strftime(clock, sizeof clock, "%H:%M:%S", &local);
  return std::string(clock) + " " + std::string(marker(entry.kind)) + " " + entry.text;
}

const LogEntry& ActivityLog::append(LogEntry::Kind kind, std::string text) {
  thread_local boost::uuids::random_generator generate;
  // Entries carry outside text (hook fields, what a peer sent): shown, not
  // executed, by whatever prints them, and bounded.
  entries_.push_back(LogEntry{boost::uuids::to_string(generate()), std::chrono::system_clock::now(),
                              kind, text::printable(text, 2000)});
  while (entries_.size() > capacity)
    entries_.pop_front();
  return entries_.back();
}

}  // namespace parley::app

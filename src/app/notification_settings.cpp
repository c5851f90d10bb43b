#include "app/notification_settings.hpp"

#include <array>
#include <boost/json.hpp>
#include <stdexcept>

#include "link/vapid_subject.hpp"

namespace parley::app {

namespace json = boost::json;
using Push = NotificationSettings::Push;

namespace {

constexpr std::array<std::string_view, 3> kPushNames{"whenAway", "always", "never"};

// Each field read on its own: one bad value costs only itself.
struct Reader {
  const json::object& object;
  std::vector<std::string>& problems;

  const json::value* field(std::string_view key) const { return object.if_contains(key); }

  void push(Push& out) const {
    const json::value* v = field("push");
    if (!v)
      return;
    if (v->is_string())
      for (std::size_t i = 0; i < kPushNames.size(); ++i)
        if (v->get_string() == kPushNames[i]) {
          out = static_cast<Push>(i);
          return;
        }
    problems.emplace_back("push must be \"whenAway\", \"always\" or \"never\"");
  }

  void seconds(std::string_view key, std::chrono::seconds& out) const {
    const json::value* v = field(key);
    if (!v)
      return;
    // Numbers past int64 arrive as uint64 and are out of range anyway.
    if (v->is_int64() && v->get_int64() >= NotificationSettings::kShortest.count() &&
        v->get_int64() <= NotificationSettings::kLongest.count()) {
      out = std::chrono::seconds(v->get_int64());
      return;
    }
    problems.push_back(std::string(key) + " must be a whole number of seconds from " +
                       std::to_string(NotificationSettings::kShortest.count()) + " to " +
                       std::to_string(NotificationSettings::kLongest.count()));
  }

  void boolean(std::string_view key, bool& out) const {
    const json::value* v = field(key);
    if (!v)
      return;
    if (v->is_bool())
      out = v->get_bool();
    else
      // Appended, not `+`: GCC 12's optimiser misreads the temporary's bounds.
      problems.push_back(std::string(key).append(" must be true or false"));
  }

  void subject(std::string& out) const {
    const json::value* v = field("vapidSubject");
    if (!v || v->is_null())
      return;
    if (!v->is_string()) {
      problems.emplace_back("vapidSubject must be text");
      return;
    }
    const std::string text(v->get_string());
    if (text.empty()) {
      out.clear();
      return;
    }
    if (const auto problem = link::vapidSubjectProblem(text))
      problems.push_back("vapidSubject " + *problem);
    else
      out = text;
  }
};

NotificationSettings read(const json::value& value, std::vector<std::string>& problems) {
  NotificationSettings settings;
  if (!value.is_object()) {
    problems.emplace_back("the notification settings must be an object");
    return settings;
  }
  const Reader r{value.get_object(), problems};
  r.push(settings.push);
  r.seconds("awayAfterSeconds", settings.awayAfter);
  r.seconds("unansweredAfterSeconds", settings.unansweredAfter);
  r.boolean("pingOnly", settings.pingOnly);
  r.subject(settings.vapidSubject);
  return settings;
}

}  // namespace

std::string_view NotificationSettings::name(Push push) {
  return kPushNames[static_cast<std::size_t>(push)];
}

NotificationSettings NotificationSettings::load(const link::Preferences& preferences,
                                                std::vector<std::string>* problems) {
  const std::optional<json::value> stored = preferences.value(kKey);
  if (!stored)
    return {};
  std::vector<std::string> found;
  NotificationSettings settings = read(*stored, found);
  if (problems)
    *problems = std::move(found);
  return settings;
}

NotificationSettings NotificationSettings::parse(const json::value& value) {
  std::vector<std::string> problems;
  NotificationSettings settings = read(value, problems);
  if (!problems.empty())
    throw std::invalid_argument(problems.front());
  return settings;
}

json::object NotificationSettings::toJson() const {
  return {{"push", name(push)},
          {"awayAfterSeconds", awayAfter.count()},
          {"unansweredAfterSeconds", unansweredAfter.count()},
          {"pingOnly", pingOnly},
          {"vapidSubject", vapidSubject}};
}

void NotificationSettings::store(const link::Preferences& preferences) const {
  preferences.set(kKey, toJson());
}

}  // namespace parley::app

#include "terminal/dialog_scraper.hpp"

#include <array>
#include <charconv>
#include <cstdio>
#include <random>

#include "protocol/hash_combine.hpp"
#include "terminal/ansi_text.hpp"
#include "terminal/screen_lines.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"

namespace parley::terminal {

namespace {

using protocol::PermissionOption;
using text::Regex;

const Regex& optionPattern() {
  static const Regex pattern(R"(^\s*[❯>]?\s*(\d+)\.\s+(.+?)\s*$)");
  return pattern;
}

const Regex& questionPattern() {
  static const Regex pattern(R"(^Do you want to \S.*\?$)");
  return pattern;
}

void appendField(std::string& out, std::string_view field) {
  const std::uint64_t size = field.size();
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out.append(field);
}

const std::string& fingerprintKey() {
  static const std::string key = [] {
    std::random_device device;
    std::string k;
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t word = device();
      k.append(reinterpret_cast<const char*>(&word), sizeof word);
    }
    return k;
  }();
  return key;
}

// The option's number, 0 when it does not fit.
std::int64_t numberOf(std::string_view digits) {
  std::int64_t index = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  return (ec == std::errc() && end == digits.data() + digits.size()) ? index : 0;
}

}  // namespace

std::size_t DialogScraper::Dialog::hash() const {
  std::size_t seed = protocol::hashAll(header, detail, description, fingerprint);
  for (const PermissionOption& o : options)
    protocol::hashInto(seed, o);
  return seed;
}

bool DialogScraper::isQuestionLine(std::string_view plainLine) {
  if (plainLine.find("Do you want to proceed?") != std::string_view::npos)
    return true;
  return questionPattern().firstMatch(text::trimmed(plainLine)).has_value();
}

PermissionOption::Kind DialogScraper::kindOf(std::string_view label) {
  const std::string l = text::lowercased(label);
  // Claude Code words lasting grants many ways ("always allow access to
  // proj/ from this project", "allow all edits during this session"); any of
  // these markers means the choice outlives this one call.
  static constexpr std::array<std::string_view, 9> grantsMore{
      "ask again",    "don’t",        "don't",       "always",     "allow all",
      "this session", "this project", "auto-accept", "from now on"};
  for (std::string_view marker : grantsMore) {
    if (l.find(marker) != std::string::npos)
      return PermissionOption::Kind::allowAlways;
  }
  for (std::string_view prefix : {"yes", "allow", "approve"}) {
    if (l.starts_with(prefix))
      return PermissionOption::Kind::allowOnce;
  }
  for (std::string_view prefix : {"no", "deny", "reject"}) {
    if (l.starts_with(prefix))
      return PermissionOption::Kind::deny;
  }
  return PermissionOption::Kind::unknown;
}

std::string DialogScraper::fingerprintOf(const std::vector<std::string>& content,
                                         const std::vector<PermissionOption>& options) {
  // Length-prefixed fields behind a random per-process key: no two dialogs
  // serialise alike, and fingerprints cannot be predicted across runs.
  std::string message = fingerprintKey();
  appendField(message, std::to_string(content.size()));
  for (const std::string& line : content)
    appendField(message, line);
  for (const PermissionOption& o : options) {
    appendField(message, std::to_string(o.index));
    appendField(message, o.label);
  }
  const std::uint64_t h = std::hash<std::string>{}(message);
  char buffer[17];
  std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(h));
  return buffer;
}

bool DialogScraper::showsSelectedChoice(std::string_view capture) {
  static const Regex selected(R"(^\s*❯\s*\d+\.\s+\S)");
  for (std::string_view line : screen::lines(capture)) {
    if (selected.search(AnsiText::stripped(line)).value_or(true))
      return true;
  }
  return false;
}

std::optional<std::string> DialogScraper::choiceLabel(std::string_view capture,
                                                      std::int64_t number) {
  std::optional<std::string> label;
  for (std::string_view line : screen::lines(capture)) {
    const std::string plain = AnsiText::stripped(line);
    const auto m = optionPattern().firstMatch(plain);
    if (m && numberOf(m->group(1)) == number)
      label = std::string(m->group(2));
  }
  return label;
}

std::optional<DialogScraper::Dialog> DialogScraper::scrapePlanExit(
    const std::vector<std::string>& plain) {
  // The plan-mode exit asks its question first ("Exit plan mode?"), says
  // what Claude wants below it, and then lists its choices; there is no
  // "Do you want to" line to anchor on.
  std::optional<std::size_t> title;
  for (std::size_t i = plain.size(); i-- > 0;) {
    if (text::trimmedSpacesAndTabs(plain[i]) == kPlanExitTitle) {
      title = i;
      break;
    }
  }
  if (!title)
    return std::nullopt;
  Dialog dialog;
  dialog.header = std::string(kPlanExitTitle);
  for (std::size_t i = *title + 1; i < plain.size(); ++i) {
    const std::string_view t = text::trimmedSpacesAndTabs(plain[i]);
    if (t.empty())
      continue;
    if (const auto m = optionPattern().firstMatch(plain[i])) {
      PermissionOption option;
      option.index = numberOf(m->group(1));
      option.label = std::string(m->group(2));
      option.kind = kindOf(option.label);
      dialog.options.push_back(std::move(option));
      continue;
    }
    if (!dialog.options.empty())
      break;
    if (dialog.detail.empty())
      dialog.detail = std::string(t);
    dialog.content.emplace_back(t);
  }
  if (dialog.options.empty())
    return std::nullopt;
  dialog.fingerprint = fingerprintOf(dialog.content, dialog.options);
  return dialog;
}

std::optional<DialogScraper::Dialog> DialogScraper::scrape(std::string_view capture) {
  std::vector<std::string> plain;
  for (std::string_view line : screen::lines(capture))
    plain.push_back(AnsiText::stripped(line));

  std::optional<std::size_t> question;
  for (std::size_t i = plain.size(); i-- > 0;) {
    if (isQuestionLine(plain[i])) {
      question = i;
      break;
    }
  }
  if (!question)
    return scrapePlanExit(plain);

  std::vector<PermissionOption> options;
  for (std::size_t i = *question + 1; i < plain.size(); ++i) {
    if (text::trimmedSpacesAndTabs(plain[i]).empty())
      continue;
    const auto m = optionPattern().firstMatch(plain[i]);
    if (!m) {
      if (options.empty())
        continue;
      break;
    }
    PermissionOption option;
    option.index = numberOf(m->group(1));
    option.label = std::string(m->group(2));
    option.kind = kindOf(option.label);
    options.push_back(std::move(option));
  }
  if (options.empty())
    return std::nullopt;

  std::size_t bodyStart = 0;
  for (std::size_t i = *question; i-- > 0;) {
    if (screen::isBorderLine(plain[i])) {
      bodyStart = i + 1;
      break;
    }
  }
  std::vector<std::string> content;
  for (std::size_t i = bodyStart; i < *question; ++i) {
    const std::string_view t = text::trimmedSpacesAndTabs(plain[i]);
    // Decoration lines (the dashed rules around a file preview) are never
    // content, just as the box's own borders are not.
    if (t.empty() || screen::isBorderLine(t) || screen::isDecorationLine(t) ||
        t.ends_with("requires approval"))
      continue;
    content.emplace_back(t);
  }

  Dialog dialog;
  dialog.header = content.size() > 0 ? content[0] : "Permission request";
  dialog.detail = content.size() > 1 ? content[1] : "";
  if (content.size() > 2)
    dialog.description = content[2];
  dialog.options = std::move(options);
  dialog.fingerprint = fingerprintOf(content, dialog.options);
  dialog.content = std::move(content);
  return dialog;
}

}  // namespace parley::terminal

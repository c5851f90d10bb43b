#pragma once

// Reads Claude Code's permission dialog off a captured pane: a question
// ("Do you want to proceed?", or for file tools e.g. "Do you want to create
// notes.txt?") followed by numbered choices, or the plan-mode exit
// ("Exit plan mode?" above its Yes/No choices). The fingerprint tells one
// dialog's content from another's; it is the same for two identical dialogs,
// so the nonce a phone's answer echoes is minted per appearance elsewhere.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/session.hpp"

namespace parley::terminal {

class DialogScraper {
 public:
  // The title of the dialog that asks to leave plan mode.
  static constexpr std::string_view kPlanExitTitle = "Exit plan mode?";

  struct Dialog {
    std::string header;                      // first content line, or "Permission request"
    std::string detail;                      // second content line, or empty
    std::optional<std::string> description;  // third content line
    // Every content line above the question, the ones beyond the first three
    // included: two commands that differ only after a wrap must not look
    // alike.
    std::vector<std::string> content;
    std::vector<protocol::PermissionOption> options;
    std::string fingerprint;

    bool operator==(const Dialog&) const = default;
    std::size_t hash() const;
  };

  // The lowest dialog on the screen (text with or without escapes), or
  // nothing when there is no question line with numbered choices below it.
  static std::optional<Dialog> scrape(std::string_view capture);

  // True for a line (plain text) that asks a permission question: it
  // contains "Do you want to proceed?", or it is as a whole (trimmed) a
  // "Do you want to …?" question.
  static bool isQuestionLine(std::string_view plainLine);

  // What a choice does, from its label. Anything that grants more than this
  // one call (don't ask again, always, allow all, this session, this
  // project, auto-accept, from now on) is allowAlways, which a phone may never
  // pick; the check runs before the yes/no prefixes.
  static protocol::PermissionOption::Kind kindOf(std::string_view label);

  // A per-process keyed 64-bit hash of every content line and each option's
  // index and label, as lower-case hex: stable for the life of the process,
  // different after a restart.
  static std::string fingerprintOf(const std::vector<std::string>& content,
                                   const std::vector<protocol::PermissionOption>& options);

  // Whether the screen shows a list of numbered choices with one selected
  // ("❯ 2. …"): how every Claude Code dialog and menu that decides something
  // looks, whether or not it is one scrape() knows.
  static bool showsSelectedChoice(std::string_view capture);

  // The label of the lowest choice numbered `number` on the screen.
  static std::optional<std::string> choiceLabel(std::string_view capture, std::int64_t number);

 private:
  static std::optional<Dialog> scrapePlanExit(const std::vector<std::string>& plainLines);
};

}  // namespace parley::terminal

template <>
struct std::hash<parley::terminal::DialogScraper::Dialog> {
  std::size_t operator()(const parley::terminal::DialogScraper::Dialog& d) const {
    return d.hash();
  }
};

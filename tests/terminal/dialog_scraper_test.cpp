#include "terminal/dialog_scraper.hpp"

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "terminal/ansi_text.hpp"

namespace parley::terminal {
namespace {

using Kind = protocol::PermissionOption::Kind;
using protocol::PermissionOption;

std::string screen(const std::string& name) {
  return test::readFile(test::fixturePath("claude-code-2.1.222/screens/" + name + ".ansi"));
}

struct Expected {
  std::string fixture;
  std::string header;
  std::string detail;
  std::optional<std::string> description;
  std::vector<PermissionOption> options;
};

TEST(DialogScraper, ReadsEveryRealPermissionDialog) {
  const std::vector<Expected> cases{
      {"perm_bash",
       "Bash command",
       "touch newfile.txt && ls -la",
       "Create a file and list the directory",
       {{1, "Yes", Kind::allowOnce},
        {2, "Yes, and always allow access to proj/ from this project", Kind::allowAlways},
        {3, "No", Kind::deny}}},
      {"perm_danger",
       "Bash command",
       "git push --force origin main",
       "Force-push the branch",
       {{1, "Yes", Kind::allowOnce},
        {2, "Yes, and don’t ask again for: git push *", Kind::allowAlways},
        {3, "No", Kind::deny}}},
      // A file tool asks its own question; the dashed rules around the
      // preview are decoration, not content.
      {"perm_write",
       "Create file",
       "notes.txt",
       "1 hello from the stand-in",
       {{1, "Yes", Kind::allowOnce},
        {2, "Yes, allow all edits during this session (shift+tab)", Kind::allowAlways},
        {3, "No", Kind::deny}}},
      // An edit shows its change as numbered -/+ lines inside the box.
      {"perm_edit",
       "Edit file",
       "main.cpp",
       "1 -int main() {}",
       {{1, "Yes", Kind::allowOnce},
        {2, "Yes, allow all edits during this session (shift+tab)", Kind::allowAlways},
        {3, "No", Kind::deny}}},
      // Leaving plan mode asks no "Do you want to" question at all.
      {"plan_exit",
       "Exit plan mode?",
       "Claude wants to exit plan mode",
       std::nullopt,
       {{1, "Yes", Kind::allowOnce}, {2, "No", Kind::deny}}},
  };
  for (const Expected& e : cases) {
    SCOPED_TRACE(e.fixture);
    const std::string capture = screen(e.fixture);
    const auto dialog = DialogScraper::scrape(capture);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->header, e.header);
    EXPECT_EQ(dialog->detail, e.detail);
    EXPECT_EQ(dialog->description, e.description);
    EXPECT_EQ(dialog->options, e.options);
    // The same dialog captured without escapes is the same dialog.
    EXPECT_EQ(DialogScraper::scrape(AnsiText::stripped(capture)), dialog);
  }
}

TEST(DialogScraper, ScreensWithoutAPermissionDialogHaveNone) {
  // AskUserQuestion has numbered options but no permission question.
  for (const char* name : {"idle", "interrupted", "paste_multiline", "question"})
    EXPECT_FALSE(DialogScraper::scrape(screen(name))) << name;
  EXPECT_FALSE(DialogScraper::scrape(""));
  // A question with nothing numbered below it is no dialog.
  EXPECT_FALSE(DialogScraper::scrape(" Do you want to proceed?\n\n Esc to cancel\n"));
}

TEST(DialogScraper, SeesAnyListOfChoicesAndReadsItsLabels) {
  for (const char* name : {"question", "perm_bash", "plan_exit"})
    EXPECT_TRUE(DialogScraper::showsSelectedChoice(screen(name))) << name;
  for (const char* name : {"idle", "interrupted"})
    EXPECT_FALSE(DialogScraper::showsSelectedChoice(screen(name))) << name;
  // A trust dialog the scraper has no name for.
  EXPECT_TRUE(DialogScraper::showsSelectedChoice(
      " Do you trust the files in this folder?\n \u276f 1. Yes, proceed\n   2. No, exit\n"));
  EXPECT_EQ(DialogScraper::choiceLabel(screen("question"), 2), "SQLite");
  EXPECT_EQ(DialogScraper::choiceLabel(screen("question"), 4), "Chat about this");
  EXPECT_FALSE(DialogScraper::choiceLabel(screen("question"), 5));
}

TEST(DialogScraper, FingerprintsAreStableAndChangeWithAnyPart) {
  const std::string capture = AnsiText::stripped(screen("perm_bash"));
  const std::string nonce = DialogScraper::scrape(capture)->fingerprint;
  EXPECT_EQ(DialogScraper::scrape(capture)->fingerprint, nonce);
  EXPECT_LE(nonce.size(), 16u);
  EXPECT_EQ(nonce.find_first_not_of("0123456789abcdef"), std::string::npos);

  const auto changed = [&](const std::string& from, const std::string& to) {
    std::string edited = capture;
    const auto at = edited.rfind(from);  // the dialog is at the bottom
    EXPECT_NE(at, std::string::npos) << from;
    edited.replace(at, from.size(), to);
    const auto dialog = DialogScraper::scrape(edited);
    EXPECT_TRUE(dialog) << from;
    return dialog ? dialog->fingerprint : nonce;
  };
  EXPECT_NE(changed("from this project", "from this folder"), nonce);  // option label
  EXPECT_NE(changed("3.", "4."), nonce);                               // option index
  EXPECT_NE(changed("Bash command", "Bash commands"), nonce);          // header
  EXPECT_NE(changed("ls -la", "ls -l"), nonce);                        // detail
  EXPECT_NE(changed("list the directory", "list the folder"), nonce);  // description

  // A long command wraps: what differs after the wrap still counts.
  const auto wrapped = [](const char* tail) {
    return DialogScraper::scrape(std::string(" Bash command\n   git push --force origin \\\n") +
                                 "     main \\\n     --no-verify \\\n     " + tail +
                                 "\n Do you want to proceed?\n \u276f 1. Yes\n   2. No\n")
        ->fingerprint;
  };
  EXPECT_NE(wrapped("--dry-run"), wrapped("--mirror"));
  // Line boundaries count: moving text between lines changes it.
  EXPECT_NE(DialogScraper::fingerprintOf({"ab", "c"}, {}),
            DialogScraper::fingerprintOf({"a", "bc"}, {}));
}

TEST(DialogScraper, TakesTheLowestDialogAndItsBoxOnly) {
  const std::string text =
      "────────\n Bash command\n   rm old\n Do you want to proceed?\n ❯ 1. Yes\n   2. No\n"
      "● Next\n"
      "────────\n Bash command\n\n   rm new\n   Removes it\n   a fourth line\n"
      " This command requires approval\n Do you want to proceed?\n"
      "\n ❯ 1. Yes\n\n   2. No, and tell Claude what to do differently (esc)\n"
      " Esc to cancel\n 3. not an option after the list ended\n";
  const auto dialog = DialogScraper::scrape(text);
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->header, "Bash command");
  EXPECT_EQ(dialog->detail, "rm new");
  EXPECT_EQ(dialog->description, "Removes it");
  EXPECT_EQ(dialog->options,
            (std::vector<PermissionOption>{
                {1, "Yes", Kind::allowOnce},
                {2, "No, and tell Claude what to do differently (esc)", Kind::deny}}));
}

TEST(DialogScraper, ABoxHoldingOnlyTheQuestionIsAPermissionRequest) {
  const auto dialog = DialogScraper::scrape("──────\n Do you want to proceed?\n > 1. Proceed\n");
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->header, "Permission request");
  EXPECT_EQ(dialog->detail, "");
  EXPECT_FALSE(dialog->description);
  EXPECT_EQ(dialog->options, (std::vector<PermissionOption>{{1, "Proceed", Kind::unknown}}));
  // Without a border above, the body starts at the top of the screen; an
  // index too large for an integer reads as 0.
  const auto top = DialogScraper::scrape(
      "Edit file\nsrc/a.cpp\nDo you want to make this edit to a.cpp?\n99999999999999999999. Yes\n");
  ASSERT_TRUE(top);
  EXPECT_EQ(top->header, "Edit file");
  EXPECT_EQ(top->detail, "src/a.cpp");
  EXPECT_EQ(top->options[0].index, 0);
}

TEST(DialogScraper, RecognisesQuestionsInOtherWordsButNotProse) {
  for (const char* line :
       {" Do you want to proceed?", "│ Do you want to proceed? │",
        " Do you want to create notes.txt?", "Do you want to make this edit to src/registry.cpp?",
        "\u00a0Do you want to overwrite a.txt?\u00a0"})
    EXPECT_TRUE(DialogScraper::isQuestionLine(line)) << line;
  for (const char* line : {"● Do you want to refactor it?", "I asked: Do you want to go?",
                           "Do you want to?", "Do you want to create notes.txt",
                           "do you want to x?", "Do you want to create a.txt? Then say so."})
    EXPECT_FALSE(DialogScraper::isQuestionLine(line)) << line;
}

TEST(DialogScraper, AnyLabelGrantingMoreThanThisCallIsAllowAlways) {
  const std::vector<std::pair<std::string, Kind>> labels{
      {"Yes", Kind::allowOnce},
      {"Yes, and don't ask again for this command", Kind::allowAlways},
      {"Yes, and don’t ask again for: git push *", Kind::allowAlways},
      {"Yes, and always allow access to proj/ from this project", Kind::allowAlways},
      {"Yes, allow all edits during this session (shift+tab)", Kind::allowAlways},
      {"Yes, and allow Claude to edit its own settings for this session", Kind::allowAlways},
      {"Yes, auto-accept edits", Kind::allowAlways},
      {"Yes, ALWAYS", Kind::allowAlways},
      {"Allow once", Kind::allowOnce},
      {"Approve", Kind::allowOnce},
      {"No", Kind::deny},
      {"No, and tell Claude what to do differently (esc)", Kind::deny},
      {"Deny", Kind::deny},
      {"Reject", Kind::deny},
      {"Proceed", Kind::unknown},
      {"Type something.", Kind::unknown},
  };
  for (const auto& [label, kind] : labels)
    EXPECT_EQ(DialogScraper::kindOf(label), kind) << label;
}

}  // namespace
}  // namespace parley::terminal

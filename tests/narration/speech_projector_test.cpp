#include "narration/speech_projector.hpp"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "protocol/hook_payload.hpp"
#include "support/test_support.hpp"

namespace parley::narration {
namespace {

using Block = SpeechProjector::Block;

std::string speech(std::string_view markdown) {
  return SpeechProjector(900).project(markdown).narration.speech;
}

// ---- real agent prose ---------------------------------------------------------

TEST(SpeechProjector, ProjectsEveryFinalMessageClaudeCodeSent) {
  const std::map<std::string, std::string> expected{
      {"You said:", "You said:"},
      {"All done. I created **newfile.txt** and listed `src/main.cpp`.",
       "All done. I created newfile.txt and listed main dot cpp, in src."},
      {"You said: [Request interrupted by user]\n\nhello there",
       "You said: [Request interrupted by user] hello there"},
      {"## Summary\n\nI refactored the **session registry** and updated "
       "`src/core/registry.cpp`.\n\n- moved the sweep into its own function\n- added tests\n- "
       "fixed the pane binding\n\n```cpp\nint main() {\n  return 0;\n}\n```\n\n| file | lines "
       "|\n|---|---|\n| a.cpp | 10 |\n| b.cpp | 20 |\n\nSee https://www.example.com/docs/registry "
       "for details.",
       "Summary. I refactored the session registry and updated registry dot cpp, in core. moved "
       "the sweep into its own function, added tests, and fixed the pane binding. a three-line "
       "C++ snippet. a table with two rows. See example.com for details."},
  };
  std::set<std::string> seen;
  for (const std::string& line :
       test::readLines(test::fixturePath("claude-code-2.1.222/hooks.ndjson"))) {
    const protocol::HookPayload payload = protocol::HookPayload::decode(line);
    if (!payload.lastAssistantMessage)
      continue;
    const std::string& message = *payload.lastAssistantMessage;
    seen.insert(message);
    const auto it = expected.find(message);
    ASSERT_NE(it, expected.end()) << "no expected speech for: " << message;
    const Projection p = SpeechProjector(900).project(message);
    EXPECT_EQ(p.narration.speech, it->second);
    EXPECT_EQ(p.narration.text, message);
    EXPECT_TRUE(p.narration.speak);
    EXPECT_FALSE(p.narration.images);
    EXPECT_FALSE(p.needsDigest);
  }
  EXPECT_EQ(seen.size(), expected.size());
}

TEST(SpeechProjector, ReadsALongMarkdownAnswerNaturally) {
  const std::string answer = R"(## ✅ Fixed the flaky reconnect test

The failure came from `SessionRegistry::refresh` racing the 30-second timer. I moved the sweep
behind the registry's strand and added a regression test in `tests/terminal/session_registry_test.cpp`.

### What changed

1. **Registry**: `applyPayload` now records the pane *before* broadcasting
2. **Server**: the `sendQueue` drops stale frames — see [the ring buffer notes](docs/ring.md)
3. Tests: added `reconnectAfterSleep` and `replayFromSeq`

```cpp
void SessionRegistry::refresh() {
  strand_.post([this] { sweep(); });
}
```

| Test | Before | After |
|------|--------|-------|
| reconnect | 3/10 failed | 0/10 |
| replay | passed | passed |

⚠️ The __HTTP API__ still returns `503` when `tailscaled` is down; the docs at https://tailscale.com/kb/1080/cli. cover that.

---

Next steps 🚀:
- run `npm test` in ./web/panel
- check the ~~old~~ new `parseURL` helper
- update ~/.config/parley/preferences.json
)";
  const Projection p = SpeechProjector(900).project(answer);
  EXPECT_EQ(p.narration.speech,
            "Fixed the flaky reconnect test. "
            "The failure came from Session Registry::refresh racing the 30-second timer. I moved "
            "the sweep behind the registry's strand and added a regression test in session "
            "registry test dot cpp, in terminal. "
            "What changed. "
            "Registry: apply Payload now records the pane before broadcasting, Server: the send "
            "Queue drops stale frames — see the ring buffer notes, and Tests: added reconnect "
            "After Sleep and replay From Seq. "
            "a three-line C++ snippet. "
            "a table with two rows. "
            "The HTTP A P I still returns 503 when tailscaled is down; the docs at tailscale.com. "
            "cover that. "
            "Next steps : run n p m test in panel, in web, check the old new parse U R L helper, "
            "and update preferences dot json, in parley.");
  EXPECT_EQ(p.narration.text, answer);
  EXPECT_TRUE(p.narration.speak);
  EXPECT_FALSE(p.narration.images);
  EXPECT_FALSE(p.needsDigest);
}

// ---- inline text --------------------------------------------------------------

TEST(SpeechProjector, EmptyInputSaysNothing) {
  const Projection p = SpeechProjector(900).project("");
  EXPECT_EQ(p, Projection{});
  EXPECT_FALSE(p.narration.speak);
  EXPECT_EQ(SpeechProjector(900).project(" \n\t\n```\n```\n").narration.speech,
            "a zero-line code snippet.");
  EXPECT_FALSE(SpeechProjector(900).project("\n\n  \n").narration.speak);
}

TEST(SpeechProjector, CollectsImagesAndSpeaksTheirAltText) {
  const Projection p =
      SpeechProjector(900).project("Here: ![flow diagram](img/flow.png) and ![](  shot.jpg ).");
  ASSERT_TRUE(p.narration.images);
  EXPECT_EQ(*p.narration.images, (std::vector<std::string>{"img/flow.png", "shot.jpg"}));
  EXPECT_EQ(p.narration.text, "Here:  and .");
  EXPECT_EQ(p.narration.speech, "Here: flow diagram and .");

  // An image with no target is no image: the text stays as written.
  const Projection empty = SpeechProjector(900).project("![alt]( )");
  EXPECT_FALSE(empty.narration.images);
  EXPECT_EQ(empty.narration.text, "![alt]( )");
  EXPECT_EQ(empty.narration.speech, "alt");
}

TEST(SpeechProjector, SpeaksMarkdownAsAListenerNeedsIt) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      // Drops emphasis but not snake case.
      {"a **bold** b __strong__ c *soft* d _quiet_ e ~~gone~~ f",
       "a bold b strong c soft d quiet e gone f"},
      {"**Note:** see *the* list.", "Note: see the list."},
      // The italic marks need a non-word character on both sides.
      {"call parse_blocks_now or my_var today", "call parse_blocks_now or my_var today"},
      {"2*3*4 stays", "2*3*4 stays"},
      // Emphasis around accented words: \w knows letters beyond ASCII.
      {"é_ça_ and _été_", "é_ça_ and été"},
      // Links and URLs reduced to what a listener needs.
      {"Read [the guide](https://example.com/guide).", "Read the guide."},
      {"See https://www.example.com/docs/x.", "See example.com."},
      {"Is it at https://github.com/org/repo/pull/12?!", "Is it at github.com?!"},
      {"Log in at https://user@www.host.io:8443/x?y=1#z, then wait",
       "Log in at host.io, then wait"},
      {"wss://relay.ts.net/ws and ftp://files.example.org", "relay.ts.net and files.example.org"},
      // Without a host, or when the URL does not parse, it is read as written.
      {"try https:///nohost now", "try https:///nohost now"},
      {"try https://bad^host/x now", "try https://bad^host/x now"},
      // Not a URL: the scheme must start at a word boundary.
      {"xhttps://localhost", "xhttps://localhost"},
      // Reads paths and file names as words.
      {"Edit `src/app/app_model.cpp`, then run it.",
       "Edit app model dot cpp, in app, then run it."},
      {"Opened `~/notes.txt` and `/etc/hosts`.", "Opened notes dot txt and hosts, in etc."},
      {"Look in ./scripts/install-deps.sh first", "Look in install deps dot sh, in scripts first"},
      {"Touch `notes.txt`; skip `.bashrc`.", "Touch notes dot txt; skip .bashrc."},
      // An extension of five or more characters is not taken for a file name.
      {"`main.swift` and `data.json`", "main.swift and data dot json"},
      // A single component is not a path.
      {"under /usr and/or here", "under /usr and/or here"},
      // Splits identifiers into words.
      {"`parseHTTPResponse`", "parse HTTP Response"},
      {"`v2Parser`", "v2 Parser"},
      {"`getAPIKey`", "get A P I Key"},
      {"`user_id-map`", "user id map"},
      {"`git push --force`", "git push force"},
      // Case and digit tests are Unicode-aware and work on whole characters,
      // even when an accent is a separate combining mark.
      {"`cafe\u0301Bar` `ÉtatCivil` `ПриветМир`", "cafe\u0301 Bar État Civil Привет Мир"},
      {"`__`", ""},
      // Spells out acronyms in any case.
      {"Call the API, then (npm) and \"Url\".", "Call the A P I, then (n p m) and \"U R L\"."},
      {"APIs and urls stay", "APIs and urls stay"},
      // Drops emoji and box drawing.
      {"Done ✅ 🎉 → next ⚠️ 👍🏽 👨‍👩‍👧 🇩🇪 ★ ▶ ░ "
       "┌─┐",
       "Done next"},
      {"build 🚀passed", "build passed"},
      // Ends headings like sentences.
      {"## Summary", "Summary."},
      {"### Done!", "Done!"},
      {"# Why?", "Why?"},
      {"## Steps:", "Steps:"},
      {"## 🎉", ""},
      // Drops rules without ending the paragraph.
      {"first part\n---\nsecond part", "first part second part"},
      {"a\n───\nb\n═══\nc\n___\nd", "a b c d"},
      // Two dashes are no rule.
      {"a\n--\nb", "a -- b"},
      // CR LF ends a line.
      {"## Title\r\n\r\n| a | b |\r\n|---|---|\r\n| 1 | 2 |\r\n\r\n- x\r\n- y\r\n",
       "Title. a table with one row. x and y."},
      // Shortens long lists.
      {"- a\n- b\n- c\n- d\n- e\n- f\n- g\n- h", "eight items, first three are: a, b, and c."},
      {"1. a\n2. b\n3. c\n4. d\n5. e\n6. f", "a, b, c, d, e, and f."},
      {"- yes\n- no", "yes and no."},
      {"+ yes\n* no", "yes and no."},
      {"- ready?\n- go!", "ready? and go!"},
      // Items with nothing to say are dropped before counting.
      {"- a\n- 🎉\n- b\n- c\n- d\n- e\n- f\n- g", "seven items, first three are: a, b, and c."},
      {"- ✅\n- 🎉", ""},
      // "-x" and "1.x" are not list items.
      {"-x\n1.x", "-x 1.x"},
  };
  for (const auto& [markdown, spoken] : cases)
    EXPECT_EQ(speech(markdown), spoken) << markdown;
}

// ---- blocks -------------------------------------------------------------------

TEST(SpeechProjector, ParsesBlocks) {
  const std::vector<Block> blocks = SpeechProjector::parseBlocks(
      "# Title #\n"
      "first\n"
      "  second  \n"
      "- one\n"
      "* two\n"
      "10) three\n"
      "| h |\n"
      "|:-:|\n"
      "| r |\n"
      "~~~  Python  extra\n"
      "  raw  \n"
      "```\n"
      "~~~\n"
      "#hashtag\n"
      "####\n");
  const std::vector<Block> expected{
      SpeechProjector::Heading{"Title"},
      SpeechProjector::Paragraph{"first second"},
      SpeechProjector::List{{"one", "two", "three"}},
      SpeechProjector::Table{1},
      SpeechProjector::Fence{"Python", {"  raw  ", "```"}},
      SpeechProjector::Paragraph{"#hashtag ####"},
  };
  EXPECT_EQ(blocks, expected);
}

TEST(SpeechProjector, DescribesFencesByLengthAndLanguage) {
  EXPECT_EQ(speech("```python extra words\na\nb\nc\n```"), "a three-line Python snippet.");
  EXPECT_EQ(speech("```TSX\nx\n```"), "a one-line TypeScript snippet.");
  EXPECT_EQ(speech("```Elixir\nx\n\n```"), "a two-line Elixir snippet.");
  std::string longFence = "```\n";
  for (int i = 0; i < 25; ++i)
    longFence += "line\n";
  EXPECT_EQ(speech(longFence + "```"), "a 25-line code snippet.");
  // An unclosed fence runs to the end of the text.
  EXPECT_EQ(speech("Before.\n```sh\nls\n\nAfter."), "Before. a three-line shell snippet.");
  // Diffs say nothing: by language, or by their lines.
  EXPECT_EQ(speech("A\n```diff\n x\n```\nB"), "A B");
  EXPECT_EQ(speech("A\n```PATCH\n x\n```\nB"), "A B");
  EXPECT_EQ(speech("```\n@@ -1 +1 @@\n-old\n+new\n context\n```"), "");
  EXPECT_EQ(speech("```\n-old\n+new\n a\n b\n```"), "a four-line code snippet.");
  EXPECT_EQ(speech("```\n- just one line\n```"), "a one-line code snippet.");
}

TEST(SpeechProjector, CountsTableRows) {
  EXPECT_EQ(speech("| a | b |\n|---|---|\n| 1 | 2 |"), "a table with one row.");
  EXPECT_EQ(speech("| a | b |\n| --- | :---: |"), "a table with zero rows.");
  EXPECT_EQ(speech("| a |\n| 1 |\n| 2 |\n| 3 |"), "a table with three rows.");
  EXPECT_EQ(speech("Intro\n| a |\n|---|\n| 1 |\nOutro"), "Intro a table with one row. Outro");
}

TEST(SpeechProjector, FlagsSpeechLongerThanTheMaximum) {
  const SpeechProjector projector(900);
  EXPECT_FALSE(projector.project(std::string(900, 'x')).needsDigest);
  EXPECT_TRUE(projector.project(std::string(901, 'x')).needsDigest);
  // Characters are grapheme clusters, not bytes or code points.
  std::string accented;
  for (int i = 0; i < 900; ++i)
    accented += "e\u0301";
  EXPECT_FALSE(projector.project(accented).needsDigest);
  EXPECT_TRUE(projector.project(accented + "e").needsDigest);
  EXPECT_TRUE(SpeechProjector(0).project("a").needsDigest);
}

// ---- bad input ----------------------------------------------------------------

TEST(SpeechProjector, RepairsInvalidUtf8) {
  const Projection p = SpeechProjector(900).project("ok \xff\xfe then \xc3( and \xed\xa0\x80.");
  EXPECT_EQ(p.narration.text, "ok \uFFFD\uFFFD then \uFFFD( and \uFFFD\uFFFD\uFFFD.");
  EXPECT_EQ(p.narration.speech, p.narration.text);
  // A sequence cut short is one character, as the phone decodes it.
  EXPECT_EQ(SpeechProjector(900).project("\xe2\x82 euros").narration.text, "\uFFFD euros");
}

TEST(SpeechProjector, HandlesHugeAndPathologicalInput) {
  const SpeechProjector projector(900);
  // Unclosed openers of every inline pattern, repeated over 256 KiB: a
  // pattern that backtracks quadratically would not end at this size.
  for (const std::string unit : {"![", "[](", "[a](", "**", "__a", "_a ", "`", "~~", "a/b.c ",
                                 "# x\n", "- x\n", "|x\n", "```\n", "aB", "(((", "https://"}) {
    std::string input;
    while (input.size() < 256 * 1024)
      input += unit;
    const Projection p = projector.project(input);
    EXPECT_EQ(p.narration.text, input) << unit;
    EXPECT_EQ(p.narration.speak, !p.narration.speech.empty()) << unit;
  }
  // Truncated four-byte sequences: each one is replaced.
  std::string broken;
  while (broken.size() < 256 * 1024)
    broken += "\xf0\x9f";
  EXPECT_EQ(projector.project(broken).narration.text.size(), broken.size() / 2 * 3);

  // A realistic answer of a megabyte still projects completely.
  std::string big;
  while (big.size() < 1024 * 1024)
    big += "## Step\n\nRun `make test` in ./build/out and read [the log](log.txt).\n\n";
  const Projection p = projector.project(big);
  EXPECT_TRUE(p.needsDigest);
  EXPECT_TRUE(p.narration.speech.ends_with("Run make test in out, in build and read the log."));
}

}  // namespace
}  // namespace parley::narration

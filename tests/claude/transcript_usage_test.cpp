#include "claude/transcript_usage.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "support/test_support.hpp"

namespace parley::claude {
namespace {

using protocol::TokenCounts;

std::string assistant(const std::string& id, const std::string& model, int input, int output,
                      int cacheWrite = 0, int cacheRead = 0, bool sidechain = false) {
  return R"({"type":"assistant","isSidechain":)" + std::string(sidechain ? "true" : "false") +
         R"(,"message":{"id":")" + id + R"(","model":")" + model + R"(","usage":{"input_tokens":)" +
         std::to_string(input) + R"(,"output_tokens":)" + std::to_string(output) +
         R"(,"cache_creation_input_tokens":)" + std::to_string(cacheWrite) +
         R"(,"cache_read_input_tokens":)" + std::to_string(cacheRead) + "}}}";
}

const std::string kPrompt =
    R"({"type":"user","message":{"role":"user","content":"next task"},"uuid":"u1"})";

TEST(UsageTally, CountsTheCapturedTranscriptOncePerMessage) {
  UsageTally tally;
  for (const auto& line :
       test::readLines(test::fixturePath("claude-code-2.1.222/transcript.jsonl")))
    tally.addLine(line);
  const protocol::SessionUsage u = tally.usage(ModelPrices());
  // Eleven responses, several written as two lines each; one of them
  // stopped after a single token.
  EXPECT_EQ(u.session, (TokenCounts{.input = 55, .output = 201}));
  EXPECT_EQ(u.lastTurn, (TokenCounts{.input = 5, .output = 20}));
  EXPECT_EQ(u.model, "claude-opus-5");
  EXPECT_EQ(u.contextTokens, 5);
  // No price or window is made up for a model the table lacks.
  EXPECT_FALSE(u.estimatedCost);
  EXPECT_FALSE(u.contextWindow);
  EXPECT_EQ(u.unknown, (std::vector<std::string>{"the context window of claude-opus-5",
                                                 "the price of claude-opus-5"}));
}

TEST(UsageTally, ALaterLineOfAMessageReplacesItAndSidechainsCostButAreNotTheContext) {
  UsageTally tally;
  EXPECT_EQ(tally.usage(ModelPrices()).unknown,
            (std::vector<std::string>{"usage (the transcript records none yet)"}));
  tally.addLine(assistant("m1", "claude-sonnet-4-5-20250929", 10, 1, 100, 1000));
  tally.addLine(assistant("m1", "claude-sonnet-4-5-20250929", 10, 50, 100, 1000));
  tally.addLine("not json {");
  tally.addLine(assistant("s1", "claude-haiku-4-5", 7, 3, 0, 0, true));
  tally.addLine(assistant("x", "<synthetic>", 999, 999));
  protocol::SessionUsage u = tally.usage(ModelPrices());
  EXPECT_EQ(u.session,
            (TokenCounts{.input = 17, .output = 53, .cacheWrite = 100, .cacheRead = 1000}));
  EXPECT_EQ(u.model, "claude-sonnet-4-5-20250929");
  EXPECT_EQ(u.contextTokens, 1110);
  EXPECT_EQ(u.contextWindow, 200'000);
  // Each model at its own price, per million tokens.
  ASSERT_TRUE(u.estimatedCost);
  EXPECT_NEAR(*u.estimatedCost, (10 * 3 + 50 * 15 + 100 * 3.75 + 1000 * 0.3 + 7 * 1 + 3 * 5) / 1e6,
              1e-12);
  EXPECT_TRUE(u.unknown.empty());

  tally.addLine(kPrompt);
  tally.addLine(assistant("m2", "claude-sonnet-4-5[1m]", 1, 2));
  u = tally.usage(ModelPrices());
  EXPECT_EQ(u.lastTurn, (TokenCounts{.input = 1, .output = 2}));
  EXPECT_EQ(u.contextWindow, 1'000'000);
}

TEST(ModelPrices, ThePersonsFileAddsAndOverridesAndABadOneIsNamed) {
  test::TempDir dir;
  test::writeFile(dir / "prices.json",
                  R"({"claude-opus-5": {"input": 4, "output": 20, "cacheWrite": 5, "cacheRead": 0.4,
                      "contextWindow": 500000},
                      "claude-sonnet-4": {"input": 1}})");
  const ModelPrices prices = ModelPrices::withFile(dir / "prices.json");
  EXPECT_EQ(prices.find("claude-opus-5-20261101")->contextWindow, 500'000);
  EXPECT_EQ(prices.find("claude-sonnet-4-5")->input, 1);
  EXPECT_EQ(prices.find("claude-sonnet-4-5")->output, 15);
  EXPECT_FALSE(prices.find("gpt-4"));
  EXPECT_NO_THROW(ModelPrices::withFile(dir / "absent.json"));

  // An empty name would price every model; a window past any model's is a
  // slip that once reached an undefined conversion.
  for (const char* bad :
       {"[1, 2]", R"({"m": {"input": -1}})", R"({"m": {"output": "ten"}})", R"({"": {"input": 1}})",
        R"({"m": {"contextWindow": 1e300}})", R"({"m": {"contextWindow": 0.5}})"}) {
    test::writeFile(dir / "bad.json", bad);
    try {
      ModelPrices::withFile(dir / "bad.json");
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("bad.json"), std::string::npos) << e.what();
    }
  }
}

TEST(TranscriptUsage, ReadsOnlyWhatWasAppendedAndStartsAgainOnANewFile) {
  test::TempDir dir;
  const auto path = dir / "t.jsonl";
  TranscriptUsage usage;
  EXPECT_NE(usage.read("S", path).summary.find("cannot be read"), std::string::npos);

  test::writeFile(path, assistant("m1", "claude-opus-4-1", 1000, 2000) + "\n" +
                            assistant("m2", "claude-opus-4-1", 10, 20).substr(0, 30));
  EXPECT_EQ(usage.read("S", path).session, (TokenCounts{.input = 1000, .output = 2000}));
  {
    std::ofstream out(path, std::ios::app);
    out << assistant("m2", "claude-opus-4-1", 10, 20).substr(30) << "\n";
  }
  const protocol::SessionUsage u = usage.read("S", path);
  EXPECT_EQ(u.session, (TokenCounts{.input = 1010, .output = 2020}));
  EXPECT_EQ(u.summary,
            "context 0% of 200.0k \u00b7 1.0k in, 2.0k out, 0 cached \u00b7 about $0.17 "
            "(estimate)");

  // Replaced by a shorter file (a new inode): counted from its start.
  test::writeFile(dir / "new.jsonl", assistant("m9", "claude-opus-4-1", 3, 4) + "\n");
  std::filesystem::rename(dir / "new.jsonl", path);
  EXPECT_EQ(usage.read("S", path).session, (TokenCounts{.input = 3, .output = 4}));

  std::vector<protocol::SessionDescriptor> sessions(2);
  sessions[0].sessionID = "S";
  sessions[0].transcriptPath = path.string();
  sessions[1].sessionID = "no transcript";
  usage.annotate(sessions);
  EXPECT_EQ(sessions[0].usage->session, (TokenCounts{.input = 3, .output = 4}));
  EXPECT_FALSE(sessions[1].usage);
}

}  // namespace
}  // namespace parley::claude

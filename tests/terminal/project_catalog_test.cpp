#include "terminal/project_catalog.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cctype>

#include "support/test_support.hpp"

namespace parley::terminal {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::writeFile;

// A HOME with Claude Code's records as 2.1.222 writes them: the captured
// transcript, moved to folders that exist here.
class CatalogTest : public ::testing::Test {
 protected:
  CatalogTest() {
    fs::create_directories(home);
    for (const char* name : {"alpha", "beta", "gamma"})
      fs::create_directories(dir / name);
  }

  fs::path project(const std::string& name) const { return fs::canonical(dir / name); }

  // The fixture transcript as a session of `folder`, last written `age` ago.
  fs::path transcript(const fs::path& folder, const std::string& id, std::chrono::hours age,
                      const std::string& extra = "") {
    std::string text = readFile(test::fixturePath("claude-code-2.1.222/transcript.jsonl"));
    for (std::size_t at; (at = text.find("/home/dev/proj")) != std::string::npos;)
      text.replace(at, 14, folder.string());
    std::string encoded = folder.string();
    for (char& c : encoded)
      c = std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
    const fs::path file = home / ".claude" / "projects" / encoded / (id + ".jsonl");
    writeFile(file, extra + text);
    fs::last_write_time(file, fs::file_time_type::clock::now() - age);
    return file;
  }

  void claudeJson(const boost::json::object& projects) {
    writeFile(home / ".claude.json",
              boost::json::serialize(boost::json::object{{"projects", projects}}));
  }

  ProjectCatalog catalog(ProjectCatalog::Limits limits = {}) {
    return ProjectCatalog(
        home, [this](const std::string& line) { logged.push_back(line); }, limits);
  }

  test::TempDir dir;
  fs::path home = dir / "home";
  std::vector<std::string> logged;
};

TEST_F(CatalogTest, ListsProjectsFromTranscriptsConfigAndLiveSessionsNewestFirst) {
  transcript(project("alpha"), "11111111-0000-0000-0000-000000000001", 30h);
  transcript(project("alpha"), "11111111-0000-0000-0000-000000000002", 3h);
  transcript(project("beta"), "22222222-0000-0000-0000-000000000001", 50h);
  claudeJson({{project("alpha").string(), {{"hasTrustDialogAccepted", true}}},
              {project("gamma").string(), {{"hasTrustDialogAccepted", false}}},
              {(dir / "removed").string(), {{"hasTrustDialogAccepted", true}}}});
  protocol::SessionDescriptor live;
  live.sessionID = "live-1";
  live.cwd = project("beta").string();
  live.lastActivity = std::chrono::system_clock::now();

  const auto listed = catalog().projects({live});
  ASSERT_EQ(listed.size(), 3u);  // the removed folder is not offered
  EXPECT_EQ(listed[0].path, project("beta").string());
  EXPECT_EQ(listed[0].pastSessions, 1);
  EXPECT_EQ(listed[0].liveSessions, 1);
  EXPECT_FALSE(listed[0].trusted);
  EXPECT_EQ(listed[1].name, "alpha");
  EXPECT_EQ(listed[1].pastSessions, 2);
  EXPECT_TRUE(listed[1].trusted);
  EXPECT_GT(*listed[1].lastActivity, std::chrono::system_clock::now() - 4h);
  // Known only from Claude Code's list: no activity, so last.
  EXPECT_EQ(listed[2].name, "gamma");
  EXPECT_FALSE(listed[2].lastActivity);
  EXPECT_FALSE(listed[2].trusted);

  // Ids are stable and resolve back to the folder, and only to a listed one.
  EXPECT_EQ(listed[1].projectID, ProjectCatalog::projectID(project("alpha")));
  EXPECT_NE(listed[0].projectID, listed[1].projectID);
  EXPECT_EQ(catalog().projectPath(listed[2].projectID, {}), project("gamma"));
  EXPECT_FALSE(catalog().projectPath(ProjectCatalog::projectID(dir / "removed"), {}));
  EXPECT_FALSE(catalog().projectPath(project("alpha").string(), {}));
  EXPECT_TRUE(catalog().trusted(project("alpha")));
  EXPECT_FALSE(catalog().trusted(project("gamma")));
  EXPECT_FALSE(catalog().trusted(project("beta")));
  EXPECT_TRUE(logged.empty());
}

TEST_F(CatalogTest, HistoryIsPagedNewestFirstWithTurnsAndFirstPrompt) {
  const fs::path alpha = project("alpha");
  transcript(alpha, "aaaaaaaa-0000-0000-0000-000000000001", 40h);
  transcript(alpha, "aaaaaaaa-0000-0000-0000-000000000002", 20h);
  // A prompt of several lines, longer than a card shows, typed first.
  const std::string longPrompt = std::string("fix the\n\nbuild ") + std::string(200, 'x');
  const boost::json::object first{{"type", "user"},
                                  {"cwd", alpha.string()},
                                  {"message", {{"role", "user"}, {"content", longPrompt}}},
                                  {"origin", {{"kind", "human"}}}};
  transcript(alpha, "aaaaaaaa-0000-0000-0000-000000000003", 1h,
             boost::json::serialize(first) + "\n");
  transcript(project("beta"), "bbbbbbbb-0000-0000-0000-000000000001", 2h);
  protocol::SessionDescriptor live;
  live.sessionID = "aaaaaaaa-0000-0000-0000-000000000002";
  live.cwd = alpha.string();

  const auto id = ProjectCatalog::projectID(alpha);
  const auto firstPage = catalog({.pageSize = 2}).history(id, 0, {live});
  ASSERT_TRUE(firstPage);
  EXPECT_EQ(firstPage->total, 3);
  ASSERT_EQ(firstPage->sessions.size(), 2u);
  const auto& newest = firstPage->sessions[0];
  EXPECT_EQ(newest.historyID, "aaaaaaaa-0000-0000-0000-000000000003");
  // The captured session had nine typed prompts; tool results,
  // interruption notes and meta records are not turns.
  EXPECT_EQ(newest.turns, 10);
  EXPECT_EQ(newest.firstPrompt, "fix the build " + std::string(66, 'x') + "\u2026");
  EXPECT_FALSE(newest.live);
  EXPECT_EQ(firstPage->sessions[1].firstPrompt, "please run the listing");
  EXPECT_EQ(firstPage->sessions[1].turns, 9);
  EXPECT_TRUE(firstPage->sessions[1].live);

  const auto lastPage = catalog({.pageSize = 2}).history(id, 2, {});
  ASSERT_EQ(lastPage->sessions.size(), 1u);
  EXPECT_EQ(lastPage->sessions[0].historyID, "aaaaaaaa-0000-0000-0000-000000000001");
  EXPECT_TRUE(catalog({.pageSize = 2}).history(id, 99, {})->sessions.empty());
  EXPECT_EQ(catalog({.pageSize = 2}).history(id, -5, {})->offset, 0);
  EXPECT_FALSE(catalog().history("p0000000000000000", 0, {}));

  const auto past = catalog().past("bbbbbbbb-0000-0000-0000-000000000001");
  ASSERT_TRUE(past);
  EXPECT_EQ(past->cwd, project("beta"));
  EXPECT_FALSE(catalog().past("cccccccc-0000-0000-0000-000000000001"));
  EXPECT_FALSE(catalog().past("../../etc/passwd"));
  EXPECT_FALSE(catalog().past("--dangerously-skip-permissions"));
  EXPECT_FALSE(catalog().past(""));
}

TEST_F(CatalogTest, UnreadableRecordsAreSkippedAndLogged) {
  const fs::path alpha = project("alpha");
  transcript(alpha, "aaaaaaaa-0000-0000-0000-000000000001", 1h,
             "{\"type\":\"user\",\"message\": {broken\n");
  // Not transcripts: a folder named like one, a file whose name is no
  // session id (and would read as an option), and a transcript with no
  // working directory in it.
  fs::create_directories(home / ".claude/projects/x/dddddddd-0000-0000-0000-000000000001.jsonl");
  transcript(alpha, "--print-0000-0000-0000-000000000001", 1h);
  writeFile(home / ".claude/projects/x/eeeeeeee-0000-0000-0000-000000000001.jsonl",
            "{\"type\":\"summary\"}\n");
  writeFile(home / ".claude.json", "{\"projects\": ");

  const auto listed = catalog().projects({});
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].path, alpha.string());
  EXPECT_FALSE(listed[0].trusted);
  EXPECT_FALSE(catalog().trusted(alpha));
  const auto page = catalog().history(listed[0].projectID, 0, {});
  ASSERT_EQ(page->sessions.size(), 1u);
  EXPECT_EQ(page->sessions[0].turns, 9);
  const auto mentions = [&](const std::string& what) {
    return std::any_of(logged.begin(), logged.end(),
                       [&](const std::string& l) { return l.find(what) != std::string::npos; });
  };
  EXPECT_TRUE(mentions("skipped 1 unreadable record in transcript aaaaaaaa"));
  EXPECT_TRUE(mentions("skipped Claude Code's project list"));
}

}  // namespace
}  // namespace parley::terminal

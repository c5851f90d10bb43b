// The control panel's side of a session's changes and of the price table,
// against the real model: a real repository read through the same driver
// the phone's requests take, and the person's price file.

#include "panel/control_panel.hpp"

#include <boost/json.hpp>

#include "app/model_fixture.hpp"
#include "base/process.hpp"
#include "claude/model_prices.hpp"

namespace parley::panel {
namespace {

namespace fs = std::filesystem;
namespace json = boost::json;
using app::test_model::event;
using protocol::HookPayload;
using test::readFile;
using test::writeFile;
using namespace std::chrono_literals;

void git(const fs::path& top, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {
      "-C", top.string(), "-c", "user.name=Parley Test", "-c", "user.email=test@example.invalid"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto result = base::runProcess(
      "/usr/bin/git", argv,
      {.environment = std::vector<std::string>{"HOME=" + top.string(), "PATH=/usr/bin:/bin",
                                               "GIT_CONFIG_NOSYSTEM=1"}});
  ASSERT_TRUE(result.ok()) << result.err;
}

class ControlPanelTest : public app::test_model::ModelTest {
 protected:
  void startPanel() {
    options.prices = dir / "config" / "prices.json";
    start();
    panel = onModel([this] {
      return ControlPanel::create(
          main.get_executor(), workers.get_executor(), model,
          {.port = 0, .preferences = link::Preferences(dir / "config" / "preferences.json")});
    });
  }

  ~ControlPanelTest() override {
    onModel([this] { panel.reset(); });
  }

  // A session the hooks announced, working in `folder`.
  void announce(const std::string& id, const fs::path& folder) {
    HookPayload p = event(HookPayload::Event::sessionStart, id);
    p.cwd = folder.string();
    hook(p);
    ASSERT_TRUE(test::waitUntil([&] {
      return onModel([&] {
        const auto& all = model->sessions();
        return std::any_of(all.begin(), all.end(),
                           [&](const auto& d) { return d.sessionID == id; });
      });
    }));
  }

  struct Read {
    PanelServer::Api::Found found;
    std::thread::id thread;
  };
  Read read(std::string_view name, json::object body) {
    auto answered = std::make_shared<std::promise<Read>>();
    onModel([&] {
      panel->read(name, body, [answered](PanelServer::Api::Found found) {
        answered->set_value({std::move(found), std::this_thread::get_id()});
      });
    });
    auto future = answered->get_future();
    EXPECT_EQ(future.wait_for(20s), std::future_status::ready);
    return future.get();
  }
  std::string problem(std::string_view name, json::object body) {
    return read(name, std::move(body)).found.problem.value_or("(none)");
  }

  std::optional<std::string> act(std::string_view name, const json::value& body) {
    return onModel([&] { return panel->act(name, body); });
  }
  json::value state() {
    return json::parse(onModel([this] { return panel->state(); }));
  }

  std::shared_ptr<ControlPanel> panel;
};

TEST_F(ControlPanelTest, ReadsASessionsChangesOffTheMainThreadAndLeavesTheRepositoryAsItWas) {
  const fs::path repo = dir / "project";
  fs::create_directories(repo);
  git(repo, {"init", "-q", "-b", "main"});
  writeFile(repo / "staged.txt", "one\n");
  writeFile(repo / "edited.txt", "old\n");
  git(repo, {"add", "-A"});
  git(repo, {"commit", "-q", "-m", "start"});
  writeFile(repo / "staged.txt", "one\ntwo\n");
  git(repo, {"add", "staged.txt"});
  writeFile(repo / "edited.txt", "<b>new</b>\n");
  writeFile(repo / "new.txt", "fresh\n");
  const std::string indexBefore = readFile(repo / ".git/index");
  const fs::path plain = dir / "plain";
  fs::create_directories(plain);

  startPanel();
  announce("s-repo", repo);
  announce("s-plain", plain);
  const std::thread::id modelThread = onModel([] { return std::this_thread::get_id(); });

  const Read changes = read("changes", {{"sessionID", "s-repo"}});
  ASSERT_FALSE(changes.found.problem) << *changes.found.problem;
  EXPECT_NE(changes.thread, modelThread);
  const json::value listed = json::parse(changes.found.json);
  EXPECT_EQ(listed.at("repository"), true);
  EXPECT_EQ(listed.at("branch"), "main");
  std::vector<std::string> files;
  for (const auto& f : listed.at("files").as_array())
    files.push_back(std::string(f.at("area").as_string()) + " " +
                    std::string(f.at("path").as_string()) + " +" +
                    std::to_string(f.at("added").as_int64()) + " -" +
                    std::to_string(f.at("removed").as_int64()));
  EXPECT_EQ(files, (std::vector<std::string>{"staged staged.txt +1 -0", "unstaged edited.txt +1 -1",
                                             "untracked new.txt +1 -0"}));

  const Read diff =
      read("fileDiff", {{"sessionID", "s-repo"}, {"path", "edited.txt"}, {"area", "unstaged"}});
  ASSERT_FALSE(diff.found.problem) << *diff.found.problem;
  EXPECT_NE(diff.thread, modelThread);
  EXPECT_EQ(json::parse(diff.found.json).at("diff"), "@@ -1 +1 @@\n-old\n+<b>new</b>\n");

  EXPECT_EQ(json::parse(read("changes", {{"sessionID", "s-plain"}}).found.json).at("repository"),
            false);
  EXPECT_EQ(problem("changes", {{"sessionID", "nope"}}), "no such session: nope");
  EXPECT_EQ(problem("changes", {}), "Which session? The request named none.");
  // The page's path is only looked up among the listed changes.
  EXPECT_EQ(
      problem("fileDiff", {{"sessionID", "s-repo"}, {"path", "../plain/x"}, {"area", "unstaged"}}),
      "../plain/x has no unstaged changes");
  EXPECT_EQ(problem("fileDiff",
                    {{"sessionID", "s-repo"}, {"path", "edited.txt"}, {"area", "everywhere"}}),
            "Which file? The request needs its path and area.");
  EXPECT_EQ(problem("remove", {{"sessionID", "s-repo"}}), "Unknown read \u201cremove\u201d.");

  EXPECT_EQ(readFile(repo / ".git/index"), indexBefore);
}

TEST_F(ControlPanelTest, ThePriceTableIsShownCheckedAndStoredAndAnUnreadableFileIsKept) {
  const fs::path file = dir / "config" / "prices.json";
  writeFile(file, "{\"claude-x\": {\"contextWindow\": 1e300}}");
  startPanel();
  // The model started on the built-in prices and says why.
  json::value prices = state().at("prices");
  EXPECT_NE(std::string(prices.at("problem").as_string()).find("contextWindow"), std::string::npos);
  EXPECT_EQ(std::string(prices.at("file").as_string()), file.string());
  const std::size_t builtIn = prices.at("models").as_array().size();
  EXPECT_EQ(builtIn, claude::ModelPrices().entries().size());

  json::array rows = prices.at("models").as_array();
  const auto with = [&](json::object row) {
    json::array all = rows;
    all.push_back(std::move(row));
    return json::object{{"models", std::move(all)}};
  };
  const json::object opus5{
      {"model", "claude-opus-5"}, {"input", 4},       {"output", 20},
      {"cacheWrite", 5},          {"cacheRead", 0.4}, {"contextWindow", nullptr}};
  const auto but = [&](std::string_view key, json::value value) {
    json::object row = opus5;
    row[key] = std::move(value);
    return with(std::move(row));
  };
  const std::string row = "Not changed: row " + std::to_string(builtIn + 1);
  const struct {
    json::object body;
    std::string said;
  } refused[] = {
      {but("model", "  "), row + ": the model name is empty."},
      {but("input", -1), row + " (claude-opus-5): \u201cinput\u201d must be a number of dollars "
                               "per million tokens, at least 0."},
      {but("cacheRead", "cheap"), row + " (claude-opus-5): \u201ccacheRead\u201d must be a number "
                                        "of dollars per million tokens, at least 0."},
      {but("output", nullptr), row + " (claude-opus-5): \u201coutput\u201d is missing."},
      {but("contextWindow", 2.5), row + " (claude-opus-5): \u201ccontextWindow\u201d must be a "
                                        "whole number of tokens, from 1 to 1000000000."},
      {but("model", "claude-sonnet-4"), row + " (claude-sonnet-4): the model is listed twice."},
      {{{"models", "all of them"}}, "Not changed: the prices must be a list of rows."},
  };
  for (const auto& c : refused)
    EXPECT_EQ(act("setPrices", c.body).value_or("taken"), c.said) << json::serialize(c.body);
  EXPECT_EQ(readFile(file), "{\"claude-x\": {\"contextWindow\": 1e300}}");

  // A list price changed and a model of the person's own: only those two
  // reach the file, and the unreadable one is kept beside it.
  for (auto& r : rows)
    if (r.at("model") == "claude-sonnet-4")
      r.as_object()["input"] = 2;
  ASSERT_EQ(act("setPrices", with(opus5)), std::nullopt);
  EXPECT_EQ(json::parse(readFile(file)).as_object().size(), 2u) << readFile(file);
  EXPECT_EQ(readFile(dir / "config" / "prices.json.unreadable"),
            "{\"claude-x\": {\"contextWindow\": 1e300}}");
  const claude::ModelPrices stored = claude::ModelPrices::withFile(file);
  EXPECT_EQ(stored.find("claude-sonnet-4-5")->input, 2);
  EXPECT_EQ(stored.find("claude-opus-5-1")->cacheRead, 0.4);
  EXPECT_EQ(stored.entries(), onModel([this] { return model->modelPrices().entries(); }));

  prices = state().at("prices");
  EXPECT_TRUE(prices.at("problem").is_null());
  std::map<std::string, std::string> sources;
  for (const auto& m : prices.at("models").as_array())
    sources[std::string(m.at("model").as_string())] = m.at("source").as_string();
  EXPECT_EQ(sources["claude-sonnet-4"], "changed");
  EXPECT_EQ(sources["claude-opus-5"], "own");
  EXPECT_EQ(sources["claude-haiku-4"], "builtIn");
}

}  // namespace
}  // namespace parley::panel

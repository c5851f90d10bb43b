#include "link/pairing.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <regex>
#include <set>

#include "base/files.hpp"
#include "link/pairing_qr.hpp"
#include "support/test_support.hpp"

namespace parley::link {
namespace {

namespace json = boost::json;
using namespace std::chrono;

mode_t modeOf(const std::filesystem::path& p) {
  struct stat st;
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

std::vector<std::filesystem::path> setAsideFiles(const std::filesystem::path& dir,
                                                 const std::string& prefix) {
  std::vector<std::filesystem::path> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().filename().string().rfind(prefix + ".corrupt-", 0) == 0)
      out.push_back(e.path());
  }
  return out;
}

struct StoreFixture : ::testing::Test {
  test::TempDir dir;
  std::filesystem::path file = dir / "data" / "parley" / "devices.json";
  PairingStore store{"com.ketchworks.parley.pairing", file,
                     Preferences(dir / "config" / "preferences.json")};
};

// ---- tokens ------------------------------------------------------------------

TEST(PairingToken, TokensHashesAndIdsHaveTheirFormsAndNeverRepeat) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string token = PairingToken::generate();
    EXPECT_TRUE(std::regex_match(token, std::regex("[A-Za-z0-9_-]{43}"))) << token;
    seen.insert(token);
  }
  EXPECT_EQ(seen.size(), 200u);
  // The FIPS 180-2 test vector for "abc", in padded standard Base64.
  EXPECT_EQ(PairingStore::tokenHash("abc"), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
  const std::string id = makeUUID();
  EXPECT_TRUE(std::regex_match(
      id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << id;
  EXPECT_NE(id, makeUUID());
}

// ---- authentication ------------------------------------------------------------

TEST_F(StoreFixture, OnlyTheExactCurrentTokenAuthenticates) {
  const std::string token = store.addDevice("Pixel", "DEV-1");
  const std::string other = store.addDevice("iPhone", "DEV-2");
  ASSERT_TRUE(store.device(token));
  EXPECT_EQ(store.device(token)->deviceID, "DEV-1");
  EXPECT_EQ(store.device(token)->deviceName, "Pixel");
  EXPECT_EQ(store.device(other)->deviceID, "DEV-2");

  std::string changed = token;
  changed[10] = changed[10] == 'A' ? 'B' : 'A';
  EXPECT_EQ(store.device(changed), std::nullopt);
  EXPECT_EQ(store.device(""), std::nullopt);

  store.revoke("DEV-1");
  EXPECT_EQ(store.device(token), std::nullopt);
  EXPECT_TRUE(store.device(other));
  ASSERT_EQ(store.devices().size(), 1u);

  // Pairing the same id again replaces its record: the old token stops working.
  const std::string renewed = store.addDevice("iPhone 2", "DEV-2");
  EXPECT_EQ(store.device(other), std::nullopt);
  EXPECT_EQ(store.device(renewed)->deviceName, "iPhone 2");
  EXPECT_EQ(store.devices().size(), 1u);
}

// Flips one bit of the digest's byte at `index` (negative: from the end).
std::string alteredHash(const std::string& token, int index) {
  std::string digest(32, '\0');
  unsigned int size = 0;
  EVP_Digest(token.data(), token.size(), reinterpret_cast<unsigned char*>(digest.data()), &size,
             EVP_sha256(), nullptr);
  digest[index < 0 ? digest.size() + index : index] ^= 1;
  std::string out(44, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                  reinterpret_cast<const unsigned char*>(digest.data()), 32);
  return out;
}

TEST_F(StoreFixture, RecordsWithUnusableHashesAreSkippedAndLaterOnesStillChecked) {
  const std::string token = "the-token";
  json::array records;
  // A digest differing in any one byte, the first or the last, is a different token.
  for (const std::string& hash :
       {std::string("not base64!"), std::string("YWJj"),             // decodes, but 3 bytes
        std::string("ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0"),  // unpadded
        alteredHash(token, 0), alteredHash(token, 16), alteredHash(token, -1),
        PairingStore::tokenHash(token)}) {
    records.push_back(
        json::object{{"device", json::object{{"deviceID", "id-" + std::to_string(records.size())},
                                             {"deviceName", "n"},
                                             {"createdAt", 0}}},
                     {"tokenHash", hash}});
  }
  test::writeFile(file, json::serialize(records));
  ASSERT_TRUE(store.device(token));
  EXPECT_EQ(store.device(token)->deviceID, "id-6");
}

// ---- the file --------------------------------------------------------------------

TEST_F(StoreFixture, AMissingFileHoldsNothingAndTheFirstDeviceCreatesPrivateFiles) {
  EXPECT_TRUE(store.devices().empty());
  EXPECT_EQ(store.device("anything"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(file));

  store.addDevice("Pixel", "DEV-1");
  EXPECT_EQ(modeOf(file), 0600u);
  EXPECT_EQ(modeOf(file.parent_path()), 0700u);
  EXPECT_EQ(modeOf(file.parent_path().parent_path()), 0700u);
}

TEST_F(StoreFixture, FileKeepsDatesAsSecondsSince2001InCompactRecords) {
  const auto before = floor<microseconds>(system_clock::now());
  store.addDevice("Pixel", "DEV-1");
  const auto seen = sys_days{2025y / January / 31} + 9h + 15min + 250ms;
  store.markSeen("DEV-1", seen);

  const std::string text = test::readFile(file);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  const json::value v = json::parse(text);
  const json::object& device = v.as_array().at(0).as_object().at("device").as_object();
  std::vector<std::string> keys;
  for (const auto& kv : device)
    keys.emplace_back(kv.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"deviceID", "deviceName", "createdAt", "lastSeen"}));
  // 2025-01-31T09:15:00.25Z is 760007700.25 s after 2001-01-01T00:00:00Z.
  EXPECT_DOUBLE_EQ(device.at("lastSeen").as_double(), 760007700.25);

  const auto devices = store.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].lastSeen, seen);
  EXPECT_GE(devices[0].createdAt, before);
  EXPECT_LE(devices[0].createdAt, system_clock::now());

  // Changes for an unknown device leave the file alone, not even rewritten.
  struct stat st1, st2;
  ::stat(file.c_str(), &st1);
  store.markSeen("nobody", system_clock::now());
  store.revoke("nobody");
  ::stat(file.c_str(), &st2);
  EXPECT_EQ(test::readFile(file), text);
  EXPECT_EQ(st1.st_ino, st2.st_ino);
}

TEST_F(StoreFixture, DevicesAreListedOldestFirstWhateverTheFileOrder) {
  json::array records;
  for (const auto& [id, created] : std::vector<std::pair<std::string, double>>{
           {"c", 300.5}, {"a", 100}, {"b", 200}, {"a2", 100}}) {
    records.push_back(json::object{
        {"device", json::object{{"deviceID", id}, {"deviceName", id}, {"createdAt", created}}},
        {"tokenHash", PairingStore::tokenHash(id)}});
  }
  test::writeFile(file, json::serialize(records));
  std::vector<std::string> ids;
  for (const auto& d : store.devices())
    ids.push_back(d.deviceID);
  EXPECT_EQ(ids, (std::vector<std::string>{"a", "a2", "b", "c"}));
}

TEST_F(StoreFixture, ACorruptFileReadsAsEmptyAndIsSetAsideBeforeTheRewrite) {
  for (const std::string& corrupt :
       {std::string("[{\"device\": trunc"), std::string("{\"not\":\"an array\"}")}) {
    SCOPED_TRACE(corrupt);
    std::filesystem::remove_all(file.parent_path());
    test::writeFile(file, corrupt);
    EXPECT_TRUE(store.devices().empty());
    EXPECT_EQ(store.device("x"), std::nullopt);

    const std::string token = store.addDevice("Pixel", "DEV-1");
    EXPECT_EQ(store.device(token)->deviceID, "DEV-1");
    const auto aside = setAsideFiles(file.parent_path(), "devices.json");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(test::readFile(aside[0]), corrupt);
    // Once rewritten the file is sound again: the next change sets nothing aside.
    store.addDevice("Other", "DEV-2");
    EXPECT_EQ(setAsideFiles(file.parent_path(), "devices.json").size(), 1u);
    EXPECT_EQ(store.devices().size(), 2u);
  }
}

TEST_F(StoreFixture, AFileThatCannotBeReadIsNeverReplaced) {
  // A directory where the file should be: reading fails with EISDIR.
  std::filesystem::create_directories(file);
  EXPECT_THROW(store.devices(), base::FileError);
  EXPECT_THROW(store.device("x"), base::FileError);
  EXPECT_THROW(store.addDevice("Pixel", "DEV-1"), base::FileError);
  EXPECT_TRUE(std::filesystem::is_directory(file));

  // A link to a device that never ends, and a file too large to be ours:
  // refused with the reason, left as they are, the preferences too.
  std::filesystem::remove(file);
  std::filesystem::create_symlink("/dev/zero", file);
  const auto prefs = dir / "config" / "preferences.json";
  std::filesystem::create_directories(prefs.parent_path());
  test::writeFile(prefs, "{\"pad\":\"" + std::string(base::kMaxFileBytes, 'x') + "\"}");
  try {
    store.devices();
    ADD_FAILURE() << "read";
  } catch (const base::FileError& e) {
    EXPECT_NE(std::string(e.what()).find("devices.json: not a regular file"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(store.addDevice("Pixel", "DEV-1"), base::FileError);
  EXPECT_EQ(std::filesystem::read_symlink(file), "/dev/zero");
  try {
    store.serverID();
    ADD_FAILURE() << "read";
  } catch (const base::FileError& e) {
    EXPECT_NE(std::string(e.what()).find("preferences.json: larger than 4 MiB"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(std::filesystem::file_size(prefs), base::kMaxFileBytes + 10);
  EXPECT_TRUE(setAsideFiles(prefs.parent_path(), "preferences.json").empty());
}

TEST_F(StoreFixture, ABadRecordIsSkippedReportedAndKeptWhileTheOthersWork) {
  const std::string token = store.addDevice("Pixel", "DEV-1");
  json::array records = json::parse(test::readFile(file)).as_array();
  records.push_back(json::parse(R"({"device":{"deviceID":"x"},"tokenHash":""})"));
  records.push_back(7);
  test::writeFile(file, json::serialize(records));

  const PairingStore::DeviceList listed = store.deviceList();
  ASSERT_EQ(listed.devices.size(), 1u);
  EXPECT_EQ(listed.devices[0].deviceID, "DEV-1");
  ASSERT_EQ(listed.problems.size(), 2u);
  EXPECT_NE(listed.problems[0].find("record 2 of "), std::string::npos) << listed.problems[0];
  EXPECT_EQ(store.device(token)->deviceID, "DEV-1");

  store.addDevice("Other", "DEV-2");
  EXPECT_EQ(json::parse(test::readFile(file)).as_array().size(), 4u);
  EXPECT_TRUE(setAsideFiles(file.parent_path(), "devices.json").empty());
}

// Forks `n` processes that wait on one pipe, so they start together, then run
// `work(index)` and exit 0; returns whether all exited 0.
bool runTogether(int n, const std::function<void(int)>& work) {
  int gate[2];
  if (::pipe(gate) != 0)
    return false;
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      (void)::read(gate[0], &c, 1);  // returns 0 when the parent closes the pipe
      try {
        work(i);
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);
  bool ok = true;
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok;
}

TEST_F(StoreFixture, ProcessesAddingDevicesAtTheSameTimeAllKeepTheirDevices) {
  constexpr int kProcesses = 3;
  constexpr int kEach = 15;
  ASSERT_TRUE(runTogether(kProcesses, [&](int p) {
    for (int i = 0; i < kEach; ++i) {
      // Appended, not prepended: GCC 12 at -O2 misreads "x" + std::to_string(n)
      // as an overlapping copy (-Wrestrict).
      const std::string id =
          std::string("P").append(std::to_string(p)).append("-").append(std::to_string(i));
      const std::string token = store.addDevice(id, id);
      test::writeFile(dir / "tokens" / id, token);
      if (i % 5 == 4)
        store.markSeen(id, system_clock::now());
    }
  }));
  const auto devices = store.devices();
  EXPECT_EQ(devices.size(), static_cast<std::size_t>(kProcesses * kEach));
  for (const auto& d : devices)
    EXPECT_EQ(store.device(test::readFile(dir / "tokens" / d.deviceID))->deviceID, d.deviceID);
}

// ---- server id and preferences -----------------------------------------------------

TEST_F(StoreFixture, ServerIdIsCreatedOnceAndSharedByEveryProcess) {
  const auto prefs = dir / "config" / "preferences.json";
  Preferences(prefs).set("hasCompletedSetup", true);
  ASSERT_TRUE(runTogether(
      4, [&](int i) { test::writeFile(dir / ("id-" + std::to_string(i)), store.serverID()); }));
  const std::string id = test::readFile(dir / "id-0");
  EXPECT_EQ(id.size(), 36u);
  for (int i = 1; i < 4; ++i)
    EXPECT_EQ(test::readFile(dir / ("id-" + std::to_string(i))), id);
  EXPECT_EQ(store.serverID(), id);
  EXPECT_EQ(Preferences(prefs).string(PairingStore::kServerIDKey), id);
  EXPECT_EQ(Preferences(prefs).boolean("hasCompletedSetup"), true);
  EXPECT_EQ(modeOf(prefs), 0600u);
}

TEST(Preferences, TypedReadersRefuseOtherTypesAndADamagedFileIsSetAside) {
  test::TempDir dir;
  const auto file = dir / "preferences.json";
  test::writeFile(file, "{\"com.ketchworks.parley.serverID\": ");
  const Preferences prefs(file);
  EXPECT_EQ(prefs.value(PairingStore::kServerIDKey), std::nullopt);
  prefs.set("flag", true);
  prefs.set("name", "desk");
  EXPECT_EQ(prefs.boolean("flag"), true);
  EXPECT_EQ(prefs.string("flag"), std::nullopt);
  EXPECT_EQ(prefs.boolean("name"), std::nullopt);
  prefs.remove("flag");
  EXPECT_EQ(prefs.value("flag"), std::nullopt);
  EXPECT_EQ(prefs.string("name"), "desk");
  const PairingStore store("svc", dir / "devices.json", prefs);
  const std::string id = store.serverID();
  EXPECT_EQ(setAsideFiles(dir.path(), "preferences.json").size(), 1u);
  EXPECT_EQ(store.serverID(), id);

  prefs.set(PairingStore::kServerIDKey, 42);
  EXPECT_NE(store.serverID(), id);
  EXPECT_TRUE(prefs.string(PairingStore::kServerIDKey));
}

// ---- payload and QR ---------------------------------------------------------------

TEST(PairingPayload, QrJsonHasSortedKeysAndUnescapedSlashes) {
  const PairingPayload payload{.host = "desk/one.tail-net.ts.net",
                               .token = "tok_-x",
                               .deviceName = "Kitchen “Desk”",
                               .serverID = "SID"};
  EXPECT_EQ(payload.jsonString(),
            "{\"deviceName\":\"Kitchen “Desk”\",\"host\":\"desk/one.tail-net.ts.net\","
            "\"port\":443,\"serverID\":\"SID\",\"token\":\"tok_-x\",\"v\":1}");
}

// Reads the module grid back from the half-block rendering.
std::vector<std::vector<bool>> gridFromText(const std::string& text, int quiet, int size,
                                            bool invert) {
  std::vector<std::vector<bool>> rows;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    std::vector<bool> top, bottom;
    for (std::size_t i = 0; i < line.size();) {
      if (line[i] == ' ') {
        top.push_back(false), bottom.push_back(false), ++i;
        continue;
      }
      const std::string glyph = line.substr(i, 3);
      i += 3;
      top.push_back(glyph == "\u2588" || glyph == "\u2580");
      bottom.push_back(glyph == "\u2588" || glyph == "\u2584");
    }
    rows.push_back(top);
    rows.push_back(bottom);
  }
  std::vector<std::vector<bool>> grid(size, std::vector<bool>(size));
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x)
      grid[y][x] = rows.at(y + quiet).at(x + quiet) == invert;  // drawn == light unless inverted
  }
  return grid;
}

// The web address carries the payload in URL-safe Base64 without padding,
// which a page's atob reads back after translating "-_" to "+/".
TEST(PairingPayload, WebAddressCarriesTheJsonInUrlSafeBase64) {
  std::string translatedAlphabet;
  for (const auto& [name, port, origin] :
       {std::tuple{"~~~???", 443, "https://desk.tail-net.ts.net/"},
        {"a~~~???", 443, "https://desk.tail-net.ts.net/"},
        {"ab~~~???", 8443, "https://desk.tail-net.ts.net:8443/"}}) {
    const PairingPayload payload{.host = "desk.tail-net.ts.net",
                                 .port = static_cast<std::uint16_t>(port),
                                 .token = PairingToken::generate(),
                                 .deviceName = name,
                                 .serverID = makeUUID()};
    const std::string address = payload.webAddress();
    const std::string prefix = std::string(origin) + "#pair=";
    ASSERT_EQ(address.rfind(prefix, 0), 0u) << address;
    std::string encoded = address.substr(prefix.size());
    ASSERT_TRUE(std::regex_match(encoded, std::regex("[A-Za-z0-9_-]+"))) << encoded;
    translatedAlphabet += encoded;
    std::replace(encoded.begin(), encoded.end(), '-', '+');
    std::replace(encoded.begin(), encoded.end(), '_', '/');
    const std::size_t padding = (4 - encoded.size() % 4) % 4;
    encoded.append(padding, '=');
    std::string decoded(encoded.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                  reinterpret_cast<const unsigned char*>(encoded.data()),
                                  static_cast<int>(encoded.size()));
    ASSERT_GT(n, 0);
    decoded.resize(static_cast<std::size_t>(n) - padding);
    EXPECT_EQ(decoded, payload.jsonString());
    EXPECT_EQ(PairingQR::image(payload).version(),
              QRCode::encode(address, QRCorrection::M).version());
  }
  // The names were chosen so that both translated characters occur.
  EXPECT_NE(translatedAlphabet.find('-'), std::string::npos);
  EXPECT_NE(translatedAlphabet.find('_'), std::string::npos);
}

TEST(PairingQR, TerminalTextAndSvgDrawExactlyTheCodesModules) {
  const PairingPayload payload{.host = "desk.tail-net.ts.net",
                               .token = PairingToken::generate(),
                               .deviceName = "desk",
                               .serverID = makeUUID()};
  const QRCode code = PairingQR::image(payload);
  ASSERT_GT(code.size(), 21);
  EXPECT_EQ(code.size(), 17 + 4 * code.version());
  // The top-left finder pattern: a dark 7x7 ring around a light ring.
  EXPECT_TRUE(code.isDark(0, 0) && code.isDark(6, 6) && code.isDark(3, 3));
  EXPECT_FALSE(code.isDark(1, 1) || code.isDark(5, 5) || code.isDark(7, 7));

  std::vector<std::vector<bool>> expected(code.size(), std::vector<bool>(code.size()));
  for (int y = 0; y < code.size(); ++y)
    for (int x = 0; x < code.size(); ++x)
      expected[y][x] = code.isDark(x, y);

  for (const bool invert : {false, true}) {
    const std::string text = code.terminalText(2, invert);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), (code.size() + 4 + 1) / 2);
    EXPECT_EQ(gridFromText(text, 2, code.size(), invert), expected) << "invert " << invert;
  }

  const std::string svg = code.svg(4);
  const std::string side = std::to_string(code.size() + 8);
  EXPECT_NE(svg.find("viewBox=\"0 0 " + side + " " + side + "\""), std::string::npos);
  std::vector<std::vector<bool>> drawn(code.size(), std::vector<bool>(code.size()));
  const std::regex run("M(\\d+) (\\d+)h(\\d+)v1h-\\3z");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), run); it != std::sregex_iterator();
       ++it) {
    const int x = std::stoi((*it)[1]) - 4, y = std::stoi((*it)[2]) - 4, n = std::stoi((*it)[3]);
    for (int i = 0; i < n; ++i) {
      EXPECT_FALSE(drawn.at(y).at(x + i)) << "module drawn twice";
      drawn[y][x + i] = true;
    }
  }
  EXPECT_EQ(drawn, expected);
}

TEST(PairingQR, AMessageTooLongForAnyVersionFailsWithTheRenderError) {
  try {
    QRCode::encode(std::string(4000, 'x'), QRCorrection::M);
    FAIL();
  } catch (const PairingError& e) {
    EXPECT_EQ(e.kind(), PairingError::Kind::qrRenderFailed);
    EXPECT_STREQ(e.what(), "could not render QR code");
  }
}

}  // namespace
}  // namespace parley::link

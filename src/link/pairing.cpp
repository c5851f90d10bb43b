#include "link/pairing.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <boost/json.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cctype>

#include "base/files.hpp"
#include "base/paths.hpp"
#include "link/json_file.hpp"

namespace parley::link {

namespace json = boost::json;

// ---- errors ----------------------------------------------------------------

PairingError::PairingError(Kind kind, const std::string& text, std::uint64_t status,
                           std::string message)
    : std::runtime_error(text), kind_(kind), status_(status), message_(std::move(message)) {}

PairingError PairingError::randomFailed(std::uint64_t status) {
  return PairingError(Kind::randomFailed, "RAND_bytes failed (" + std::to_string(status) + ")",
                      status, {});
}

PairingError PairingError::tailscaleUnavailable(std::string message) {
  return PairingError(Kind::tailscaleUnavailable, "Tailscale status unavailable: " + message, 0,
                      message);
}

PairingError PairingError::qrRenderFailed() {
  return PairingError(Kind::qrRenderFailed, "could not render QR code", 0, {});
}

// ---- payload ---------------------------------------------------------------

std::string PairingPayload::jsonString() const {
  // Inserted in ascending key order; Boost.JSON keeps insertion order and
  // never escapes "/".
  json::object object;
  object["deviceName"] = deviceName;
  object["host"] = host;
  object["port"] = port;
  object["serverID"] = serverID;
  object["token"] = token;
  object["v"] = v;
  return json::serialize(object);
}

// ---- tokens and hashes -----------------------------------------------------

namespace {

std::string base64(const unsigned char* bytes, std::size_t size) {
  std::string out(4 * ((size + 2) / 3), '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(size));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

// Strict decoding of padded standard Base64: anything that does not re-encode
// to the same text is refused, so junk never compares as a digest.
std::optional<std::string> unbase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0)
    return std::nullopt;
  std::string out(3 * text.size() / 4, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0)
    return std::nullopt;
  // EVP_DecodeBlock counts padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(n);
  size -= static_cast<std::size_t>(std::count(text.end() - 2, text.end(), '='));
  out.resize(size);
  if (base64(reinterpret_cast<const unsigned char*>(out.data()), out.size()) != text)
    return std::nullopt;
  return out;
}

std::array<unsigned char, 32> sha256(std::string_view text) {
  std::array<unsigned char, 32> digest{};
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1 ||
      size != digest.size())
    throw std::runtime_error("SHA-256 failed (" + std::to_string(ERR_get_error()) + ")");
  return digest;
}

// Seconds since 2001-01-01T00:00:00Z, the date form devices.json uses.
constexpr std::chrono::seconds kReferenceEpoch{978307200};

double toFileDate(Date date) {
  return std::chrono::duration<double>(date.time_since_epoch() - kReferenceEpoch).count();
}

// Microseconds survive the round trip through a double exactly.
Date fromFileDate(double seconds) {
  return Date(
      std::chrono::round<std::chrono::microseconds>(std::chrono::duration<double>(seconds)) +
      kReferenceEpoch);
}

Date readDate(const json::value& v) {
  if (!v.is_number())
    throw std::invalid_argument("date is not a number");
  return fromFileDate(v.to_number<double>());
}

const json::value& require(const json::object& object, std::string_view key) {
  const json::value* v = object.if_contains(key);
  if (v == nullptr)
    throw std::invalid_argument("missing key");
  return *v;
}

std::string requireString(const json::object& object, std::string_view key) {
  return std::string(require(object, key).as_string());
}

PairingRecord decodeRecord(const json::value& value) {
  const json::object& record = value.as_object();
  const json::object& device = require(record, "device").as_object();
  PairingRecord out;
  out.device.deviceID = requireString(device, "deviceID");
  out.device.deviceName = requireString(device, "deviceName");
  out.device.createdAt = readDate(require(device, "createdAt"));
  if (const json::value* seen = device.if_contains("lastSeen"); seen && !seen->is_null())
    out.device.lastSeen = readDate(*seen);
  out.tokenHash = requireString(record, "tokenHash");
  // A subscription that no longer reads costs only itself, never the device.
  if (const json::value* push = record.if_contains("push"); push && !push->is_null())
    out.push = PushSubscription::fromJson(*push);
  return out;
}

json::value encodeRecord(const PairingRecord& record) {
  json::object device;
  device["deviceID"] = record.device.deviceID;
  device["deviceName"] = record.device.deviceName;
  device["createdAt"] = toFileDate(record.device.createdAt);
  if (record.device.lastSeen)
    device["lastSeen"] = toFileDate(*record.device.lastSeen);
  json::object out;
  out["device"] = std::move(device);
  out["tokenHash"] = record.tokenHash;
  if (record.push)
    out["push"] = record.push->toJson();
  return out;
}

}  // namespace

std::string PairingPayload::webAddress() const {
  const std::string json = jsonString();
  std::string encoded = base64(reinterpret_cast<const unsigned char*>(json.data()), json.size());
  std::replace(encoded.begin(), encoded.end(), '+', '-');
  std::replace(encoded.begin(), encoded.end(), '/', '_');
  encoded.erase(encoded.find_last_not_of('=') + 1);
  const std::string authority = port == 443 ? host : host + ":" + std::to_string(port);
  return "https://" + authority + "/#pair=" + encoded;
}

std::string PairingToken::generate() {
  unsigned char bytes[32];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw PairingError::randomFailed(ERR_get_error());
  std::string token = base64(bytes, sizeof bytes);
  OPENSSL_cleanse(bytes, sizeof bytes);
  std::erase(token, '=');
  std::replace(token.begin(), token.end(), '+', '-');
  std::replace(token.begin(), token.end(), '/', '_');
  return token;
}

std::string makeUUID() {
  std::string text = boost::uuids::to_string(boost::uuids::random_generator()());
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

std::string PairingStore::tokenHash(std::string_view token) {
  const auto digest = sha256(token);
  return base64(digest.data(), digest.size());
}

// ---- the store -------------------------------------------------------------

std::filesystem::path PairingStore::defaultFile() {
  return base::dataDirectory() / "devices.json";
}

PairingStore::PairingStore(std::string service, std::optional<std::filesystem::path> file,
                           Preferences preferences)
    : service_(std::move(service)),
      file_(file ? std::move(*file) : defaultFile()),
      preferences_(std::move(preferences)) {}

std::string PairingStore::serverID() const {
  const json::value id = preferences_.valueOrInsert(
      kServerIDKey, [] { return json::value(makeUUID()); },
      [](const json::value& v) { return v.is_string() && !v.as_string().empty(); });
  return std::string(id.as_string());
}

PairingStore::Loaded PairingStore::load() const {
  const detail::JsonFile file = detail::readJsonFile(file_);
  if (!file.value)
    return Loaded{.damaged = file.damaged};
  const json::array* array = file.value->if_array();
  if (array == nullptr)
    return Loaded{.damaged = true};
  // One record that does not decode costs only itself: it is skipped and
  // reported, and kept as it stands when the file is rewritten.
  Loaded loaded;
  for (std::size_t i = 0; i < array->size(); ++i) {
    try {
      loaded.records.push_back(decodeRecord((*array)[i]));
    } catch (const std::exception& e) {
      loaded.unusable.push_back((*array)[i]);
      loaded.problems.push_back("record " + std::to_string(i + 1) + " of " + file_.string() +
                                " skipped: " + e.what());
    }
  }
  return loaded;
}

void PairingStore::save(const Loaded& loaded) const {
  json::array array;
  for (const PairingRecord& record : loaded.records)
    array.push_back(encodeRecord(record));
  for (const json::value& record : loaded.unusable)
    array.push_back(record);
  if (loaded.damaged)
    detail::setAside(file_);
  detail::writeJsonFile(file_, json::serialize(array));
}

void PairingStore::upsert(const PairingRecord& record) const {
  base::createDirectories(file_.parent_path(), 0700);
  const base::FileLock lock(file_);
  Loaded loaded = load();
  auto it = std::find_if(loaded.records.begin(), loaded.records.end(), [&](const auto& r) {
    return r.device.deviceID == record.device.deviceID;
  });
  if (it != loaded.records.end())
    *it = record;
  else
    loaded.records.push_back(record);
  save(loaded);
}

std::string PairingStore::addDevice(const std::string& name, const std::string& id) const {
  std::string token = PairingToken::generate();
  const auto now = std::chrono::floor<std::chrono::microseconds>(std::chrono::system_clock::now());
  upsert(PairingRecord{
      .device = PairedDevice{.deviceID = id, .deviceName = name, .createdAt = now},
      .tokenHash = tokenHash(token),
  });
  return token;
}

PairingStore::DeviceList PairingStore::deviceList() const {
  Loaded loaded = load();
  DeviceList out;
  for (PairingRecord& record : loaded.records)
    out.devices.push_back(std::move(record.device));
  std::stable_sort(out.devices.begin(), out.devices.end(),
                   [](const auto& a, const auto& b) { return a.createdAt < b.createdAt; });
  out.problems = std::move(loaded.problems);
  return out;
}

std::vector<PairedDevice> PairingStore::devices() const {
  return deviceList().devices;
}

std::optional<PairedDevice> PairingStore::device(std::string_view token) const {
  const Loaded loaded = load();
  const auto digest = sha256(token);
  for (const PairingRecord& record : loaded.records) {
    const std::optional<std::string> stored = unbase64(record.tokenHash);
    if (!stored || stored->size() != digest.size())
      continue;
    if (CRYPTO_memcmp(stored->data(), digest.data(), digest.size()) == 0)
      return record.device;
  }
  return std::nullopt;
}

bool PairingStore::changeRecord(const std::string& deviceID,
                                const std::function<bool(PairingRecord&)>& change) const {
  base::createDirectories(file_.parent_path(), 0700);
  const base::FileLock lock(file_);
  Loaded loaded = load();
  for (PairingRecord& record : loaded.records) {
    if (record.device.deviceID == deviceID) {
      if (change(record))
        save(loaded);
      return true;
    }
  }
  return false;
}

void PairingStore::markSeen(const std::string& deviceID, Date at) const {
  changeRecord(deviceID, [&](PairingRecord& record) {
    record.device.lastSeen = std::chrono::floor<std::chrono::microseconds>(at);
    return true;
  });
}

void PairingStore::revoke(const std::string& deviceID) const {
  base::createDirectories(file_.parent_path(), 0700);
  const base::FileLock lock(file_);
  Loaded loaded = load();
  const auto removed = std::erase_if(
      loaded.records, [&](const PairingRecord& r) { return r.device.deviceID == deviceID; });
  if (removed > 0)
    save(loaded);
}

bool PairingStore::setPushSubscription(const std::string& deviceID,
                                       std::optional<PushSubscription> subscription) const {
  return changeRecord(deviceID, [&](PairingRecord& record) {
    if (record.push == subscription)
      return false;
    record.push = std::move(subscription);
    return true;
  });
}

void PairingStore::dropPushSubscription(const std::string& deviceID,
                                        const std::string& endpoint) const {
  changeRecord(deviceID, [&](PairingRecord& record) {
    if (!record.push || record.push->endpoint != endpoint)
      return false;
    record.push.reset();
    return true;
  });
}

std::vector<PairingStore::PushTarget> PairingStore::pushTargets() const {
  std::vector<PushTarget> out;
  for (PairingRecord& record : load().records)
    if (record.push)
      out.push_back(PushTarget{std::move(record.device), std::move(*record.push)});
  return out;
}

}  // namespace parley::link

#pragma once

// Pairing a phone: the one-time payload its QR code carries, token
// generation and hashing, and the device store. The desktop keeps only a
// SHA-256 digest of each device's token, in devices.json.

#include <boost/json/value.hpp>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "link/event_ring.hpp"
#include "link/preferences.hpp"
#include "link/push_subscription.hpp"

namespace parley::link {

class PairingError : public std::runtime_error {
 public:
  enum class Kind { randomFailed, tailscaleUnavailable, qrRenderFailed };

  // "RAND_bytes failed (<OpenSSL error code>)".
  static PairingError randomFailed(std::uint64_t status);
  // "Tailscale status unavailable: <message>".
  static PairingError tailscaleUnavailable(std::string message);
  // "could not render QR code".
  static PairingError qrRenderFailed();

  Kind kind() const { return kind_; }
  std::uint64_t status() const { return status_; }
  const std::string& message() const { return message_; }

 private:
  PairingError(Kind kind, const std::string& text, std::uint64_t status, std::string message);

  Kind kind_;
  std::uint64_t status_ = 0;
  std::string message_;
};

struct PairingPayload {
  std::int64_t v = 1;
  std::string host;
  std::uint16_t port = 443;
  std::string token;
  std::string deviceName;
  std::string serverID;

  // The QR code's message: keys sorted, slashes not escaped, UTF-8.
  std::string jsonString() const;
  // The address that opens the phone's web page and pairs it: the payload
  // rides in the fragment, which browsers never send to a server.
  std::string webAddress() const;
  bool operator==(const PairingPayload&) const = default;
};

struct PairedDevice {
  std::string deviceID;
  std::string deviceName;
  Date createdAt;
  std::optional<Date> lastSeen;
  bool operator==(const PairedDevice&) const = default;
};

struct PairingRecord {
  PairedDevice device;
  std::string tokenHash;
  // Absent until the phone turns notifications on; older files have none.
  std::optional<PushSubscription> push;
  bool operator==(const PairingRecord&) const = default;
};

namespace PairingToken {
// 32 random bytes in URL-safe Base64 without padding (43 characters).
// Throws PairingError::randomFailed.
std::string generate();
}  // namespace PairingToken

// A random (version 4) UUID in canonical upper-case form.
std::string makeUUID();

// The device store. A value without a cache: every operation reads the file
// anew, so a revocation made by one process is seen by the next hello in
// another. Every change is a read-modify-write under an advisory lock.
class PairingStore {
 public:
  static constexpr std::string_view kServerIDKey = "com.ketchworks.parley.serverID";

  // base::dataDirectory()/devices.json, resolved at the call.
  static std::filesystem::path defaultFile();

  explicit PairingStore(std::string service = "com.ketchworks.parley.pairing",
                        std::optional<std::filesystem::path> file = std::nullopt,
                        Preferences preferences = Preferences());

  const std::string& service() const { return service_; }
  const std::filesystem::path& file() const { return file_; }

  // This installation's stable id; created (as a UUID) on first use.
  std::string serverID() const;

  // Stores a new device (created now, never seen) with the hash of a fresh
  // token, replacing a record with the same id, and returns the token.
  std::string addDevice(const std::string& name, const std::string& id) const;
  struct DeviceList {
    std::vector<PairedDevice> devices;  // oldest first
    // One line per record that could not be read and was skipped (kept in
    // the file as it stands); the other records still count.
    std::vector<std::string> problems;
  };
  // All devices and what was wrong with the file's other records. A missing
  // file holds none, and so does one that is not a JSON array (it is set
  // aside at the next change). A file that exists but cannot be read throws
  // base::FileError: nobody may mistake it for an empty store.
  DeviceList deviceList() const;
  // deviceList()'s devices.
  std::vector<PairedDevice> devices() const;
  // The device whose stored hash matches the token (constant-time compare).
  // A file that exists but cannot be read throws base::FileError: it says
  // nothing about whether the token is still paired, and a phone told its
  // token is gone forgets it.
  std::optional<PairedDevice> device(std::string_view token) const;
  // Sets lastSeen; the file is left untouched when no device has the id.
  void markSeen(const std::string& deviceID, Date at) const;
  // Deletes every record with that id, its push subscription with it.
  void revoke(const std::string& deviceID) const;

  // Stores the device's push subscription, or with nullopt removes it;
  // false when no device has the id.
  bool setPushSubscription(const std::string& deviceID,
                           std::optional<PushSubscription> subscription) const;
  // Removes the subscription only while it is still the one at `endpoint`:
  // the phone may have subscribed anew since the push service refused it.
  void dropPushSubscription(const std::string& deviceID, const std::string& endpoint) const;
  struct PushTarget {
    PairedDevice device;
    PushSubscription subscription;
  };
  // The devices that turned notifications on, in file order.
  std::vector<PushTarget> pushTargets() const;

  // Standard Base64 (padded, 44 characters) of the SHA-256 of the token.
  static std::string tokenHash(std::string_view token);

  // Changes throw base::FileError when the file cannot be read or written. A
  // file that exists but is not a JSON array is renamed aside
  // ("devices.json.corrupt-…") before it is replaced, so nothing is lost.

 private:
  struct Loaded {
    std::vector<PairingRecord> records;
    std::vector<boost::json::value> unusable;  // records that did not decode, as read
    std::vector<std::string> problems;
    bool damaged = false;
  };
  Loaded load() const;
  void save(const Loaded& loaded) const;
  void upsert(const PairingRecord& record) const;
  // Runs `change` on the first record with the id under the lock and saves
  // when it reports a change; false when no record has the id.
  bool changeRecord(const std::string& deviceID,
                    const std::function<bool(PairingRecord&)>& change) const;

  std::string service_;
  std::filesystem::path file_;
  Preferences preferences_;
};

}  // namespace parley::link

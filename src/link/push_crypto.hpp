#pragma once

// The cryptography of Web Push: this installation's VAPID key pair (ECDSA
// P-256, made once and kept owner-only in the data directory), the signed
// token that identifies us to a push service, and the end-to-end encryption
// of a payload to one browser subscription (aes128gcm, one record), so the
// push service carries only an opaque blob.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "link/vapid_subject.hpp"

typedef struct evp_pkey_st EVP_PKEY;

namespace parley::link {

// A cryptographic operation failed, or a key or input could not be used.
struct PushCryptoError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// URL-safe Base64 without padding, as Web Push writes keys.
std::string base64UrlEncode(std::string_view bytes);
// Accepts the URL-safe alphabet with or without padding; nullopt for
// anything else.
std::optional<std::string> base64UrlDecode(std::string_view text);

// `size` bytes from OpenSSL's generator. Throws PushCryptoError.
std::string randomBytes(std::size_t size);

// Whether `bytes` is an uncompressed P-256 point on the curve (65 bytes).
bool isP256PublicKey(std::string_view bytes);

class PushCrypto {
 public:
  // The largest plaintext one push message can carry: push services accept
  // 4096 bytes of body, less the 86-byte header, the delimiter and the tag.
  static constexpr std::size_t kMaxPayload = 3993;

  // vapid.pem in the data directory.
  static std::filesystem::path defaultKeyFile();

  // Reads the key pair from `keyFile`, or makes one and stores it (mode
  // 0600, directory 0700) when the file is missing. A file that does not
  // hold a P-256 private key is set aside ("vapid.pem.corrupt-…") and
  // replaced; one readable by others is made 0600. Throws base::FileError
  // (also for a file that is not regular or too large to be a key) or
  // PushCryptoError.
  static PushCrypto loadOrCreate(const std::filesystem::path& keyFile);
  // Reads the key pair and changes nothing, whatever it finds (`parley
  // doctor` looks without repairing). Throws base::FileError when the file
  // cannot be read, PushCryptoError when it holds no P-256 private key.
  static PushCrypto load(const std::filesystem::path& keyFile);

  // The public key as the uncompressed point in URL-safe Base64 without
  // padding: what a browser's applicationServerKey takes.
  const std::string& publicKey() const { return publicKey_; }

  // The Authorization header value for a request to `endpoint`:
  // "vapid t=<JWT>, k=<public key>", the token for the endpoint's origin,
  // expiring `lifetime` after `now` (at most 24 hours).
  std::string authorization(std::string_view endpoint, std::string_view subject,
                            std::chrono::system_clock::time_point now,
                            std::chrono::seconds lifetime = std::chrono::hours(12)) const;

  // `plaintext` encrypted to the subscription whose public key (65 bytes)
  // and auth secret (16 bytes) are given raw: salt, record size, our
  // ephemeral key, then the single sealed record. Throws PushCryptoError.
  static std::string encrypt(std::string_view plaintext, std::string_view receiverKey,
                             std::string_view authSecret);

 private:
  explicit PushCrypto(std::shared_ptr<EVP_PKEY> key);

  std::shared_ptr<EVP_PKEY> key_;
  std::string publicKey_;
};

}  // namespace parley::link

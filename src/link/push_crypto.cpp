#include "link/push_crypto.hpp"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

#include <sys/stat.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/files.hpp"
#include "base/free_with.hpp"
#include "base/paths.hpp"
#include "link/json_file.hpp"

namespace parley::link {

namespace {

[[noreturn]] void fail(const std::string& what) {
  char reason[256] = "unknown";
  if (const unsigned long code = ERR_get_error(); code != 0)
    ERR_error_string_n(code, reason, sizeof reason);
  ERR_clear_error();
  throw PushCryptoError(what + " failed: " + reason);
}

void check(int ok, const char* what) {
  if (ok <= 0)
    fail(what);
}

using PKey = std::unique_ptr<EVP_PKEY, base::FreeWith<EVP_PKEY_free>>;
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, base::FreeWith<EVP_PKEY_CTX_free>>;
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, base::FreeWith<EVP_CIPHER_CTX_free>>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, base::FreeWith<EVP_MD_CTX_free>>;
using Bio = std::unique_ptr<BIO, base::FreeWith<BIO_free_all>>;
using Signature = std::unique_ptr<ECDSA_SIG, base::FreeWith<ECDSA_SIG_free>>;

const unsigned char* bytes(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

PKey generateKey() {
  PKey key(EVP_EC_gen("P-256"));
  if (!key)
    fail("P-256 key generation");
  return key;
}

bool isP256(EVP_PKEY* key) {
  char group[64] = {};
  std::size_t length = 0;
  return EVP_PKEY_is_a(key, "EC") &&
         EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &length) == 1 &&
         std::string_view(group, length) == "prime256v1";
}

// The uncompressed point (0x04 || X || Y).
std::string publicPoint(EVP_PKEY* key) {
  std::string point(65, '\0');
  std::size_t length = 0;
  check(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY,
                                        reinterpret_cast<unsigned char*>(point.data()),
                                        point.size(), &length),
        "reading the public key");
  if (length != 65 || point[0] != 0x04)
    throw PushCryptoError("public key is not an uncompressed P-256 point");
  return point;
}

// Imports a peer's public point; OpenSSL refuses a point off the curve.
PKey importPoint(std::string_view point) {
  if (point.size() != 65 || point[0] != 0x04)
    throw PushCryptoError("the subscription key is not an uncompressed P-256 point");
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) <= 0)
    fail("importing the subscription key");
  char group[] = "prime256v1";
  std::string copy(point);
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) <= 0 || raw == nullptr) {
    ERR_clear_error();
    throw PushCryptoError("the subscription key is not a point on P-256");
  }
  PKey key(raw);
  PKeyCtx checker(EVP_PKEY_CTX_new(key.get(), nullptr));
  if (!checker || EVP_PKEY_public_check(checker.get()) <= 0) {
    ERR_clear_error();
    throw PushCryptoError("the subscription key is not a point on P-256");
  }
  return key;
}

std::string ecdh(EVP_PKEY* own, EVP_PKEY* peer) {
  PKeyCtx ctx(EVP_PKEY_CTX_new(own, nullptr));
  if (!ctx)
    fail("ECDH");
  check(EVP_PKEY_derive_init(ctx.get()), "ECDH");
  check(EVP_PKEY_derive_set_peer(ctx.get(), peer), "ECDH");
  std::size_t length = 0;
  check(EVP_PKEY_derive(ctx.get(), nullptr, &length), "ECDH");
  std::string secret(length, '\0');
  check(EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(secret.data()), &length),
        "ECDH");
  secret.resize(length);
  return secret;
}

std::string hkdf(std::string_view salt, std::string_view ikm, std::string_view info,
                 std::size_t length) {
  PKeyCtx ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_HKDF, nullptr));
  if (!ctx)
    fail("HKDF");
  check(EVP_PKEY_derive_init(ctx.get()), "HKDF");
  check(EVP_PKEY_CTX_set_hkdf_md(ctx.get(), EVP_sha256()), "HKDF");
  check(EVP_PKEY_CTX_set1_hkdf_salt(ctx.get(), bytes(salt), static_cast<int>(salt.size())), "HKDF");
  check(EVP_PKEY_CTX_set1_hkdf_key(ctx.get(), bytes(ikm), static_cast<int>(ikm.size())), "HKDF");
  check(EVP_PKEY_CTX_add1_hkdf_info(ctx.get(), bytes(info), static_cast<int>(info.size())), "HKDF");
  std::string out(length, '\0');
  std::size_t size = length;
  check(EVP_PKEY_derive(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &size), "HKDF");
  return out;
}

std::string sealRecord(std::string_view key, std::string_view nonce, std::string_view plain) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx)
    fail("AES-128-GCM");
  check(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr), "AES-128-GCM");
  check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                            nullptr),
        "AES-128-GCM");
  check(EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)), "AES-128-GCM");
  std::string out(plain.size() + 16, '\0');
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  int n = 0;
  check(EVP_EncryptUpdate(ctx.get(), o, &n, bytes(plain), static_cast<int>(plain.size())),
        "AES-128-GCM");
  int tail = 0;
  check(EVP_EncryptFinal_ex(ctx.get(), o + n, &tail), "AES-128-GCM");
  check(EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, o + n + tail), "AES-128-GCM");
  out.resize(static_cast<std::size_t>(n + tail) + 16);
  return out;
}

// ES256 over `input`: the DER signature OpenSSL makes, as the raw r || s of
// 32 bytes each that a JWT carries.
std::string signES256(EVP_PKEY* key, std::string_view input) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx)
    fail("ES256 signing");
  check(EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key), "ES256 signing");
  std::size_t length = 0;
  check(EVP_DigestSign(ctx.get(), nullptr, &length, bytes(input), input.size()), "ES256 signing");
  std::string der(length, '\0');
  check(EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(der.data()), &length,
                       bytes(input), input.size()),
        "ES256 signing");
  const unsigned char* p = bytes(der);
  Signature signature(d2i_ECDSA_SIG(nullptr, &p, static_cast<long>(length)));
  if (!signature)
    fail("ES256 signature decoding");
  std::string raw(64, '\0');
  auto* r = reinterpret_cast<unsigned char*>(raw.data());
  if (BN_bn2binpad(ECDSA_SIG_get0_r(signature.get()), r, 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(signature.get()), r + 32, 32) != 32)
    fail("ES256 signature encoding");
  return raw;
}

PKey readKey(const std::string& pem) {
  Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PKey key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (key && !isP256(key.get()))
    key.reset();
  return key;
}

std::string writeKey(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio)
    fail("encoding the VAPID key");
  check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr),
        "encoding the VAPID key");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  std::string pem(data, static_cast<std::size_t>(size));
  return pem;
}

}  // namespace

std::string randomBytes(std::size_t size) {
  std::string out(size, '\0');
  check(RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(size)),
        "RAND_bytes");
  return out;
}

// ---- Base64 ------------------------------------------------------------------

std::string base64UrlEncode(std::string_view in) {
  std::string out(4 * ((in.size() + 2) / 3), '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes(in),
                                static_cast<int>(in.size()));
  out.resize(static_cast<std::size_t>(n));
  std::erase(out, '=');
  std::replace(out.begin(), out.end(), '+', '-');
  std::replace(out.begin(), out.end(), '/', '_');
  return out;
}

std::optional<std::string> base64UrlDecode(std::string_view text) {
  while (!text.empty() && text.back() == '=')
    text.remove_suffix(1);
  if (text.empty() || text.size() % 4 == 1 || text.find_first_of("+/") != std::string_view::npos)
    return std::nullopt;
  std::string standard(text);
  std::replace(standard.begin(), standard.end(), '-', '+');
  std::replace(standard.begin(), standard.end(), '_', '/');
  const std::size_t padding = (4 - standard.size() % 4) % 4;
  standard.append(padding, '=');
  std::string out(3 * standard.size() / 4, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes(standard),
                                static_cast<int>(standard.size()));
  if (n < 0)
    return std::nullopt;
  out.resize(static_cast<std::size_t>(n) - padding);
  // Junk that decodes anyway (stray bits in the last character) does not
  // survive the round trip.
  if (base64UrlEncode(out) != text)
    return std::nullopt;
  return out;
}

bool isP256PublicKey(std::string_view point) {
  try {
    importPoint(point);
    return true;
  } catch (const PushCryptoError&) {
    return false;
  }
}

// ---- the key pair ------------------------------------------------------------

namespace {

// A PEM P-256 key is a few hundred bytes.
constexpr std::size_t kMaxKeyFile = 64 * 1024;

// The private key signs for this desktop: a copy made readable to others
// (restored from a backup, copied with cp) is made owner-only again, or
// refused when that cannot be done.
void keepToOwner(const std::filesystem::path& keyFile) {
  struct stat st;
  if (::stat(keyFile.c_str(), &st) != 0)
    throw base::FileError("stat", keyFile, errno);
  if ((st.st_mode & 077) == 0)
    return;
  if (::chmod(keyFile.c_str(), 0600) != 0) {
    const int error = errno;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    throw PushCryptoError(keyFile.string() + " is open to other users (mode " + mode +
                          ") and could not be made owner-only: " + std::strerror(error));
  }
}

}  // namespace

std::filesystem::path PushCrypto::defaultKeyFile() {
  return base::dataDirectory() / "vapid.pem";
}

PushCrypto::PushCrypto(std::shared_ptr<EVP_PKEY> key)
    : key_(std::move(key)), publicKey_(base64UrlEncode(publicPoint(key_.get()))) {}

PushCrypto PushCrypto::loadOrCreate(const std::filesystem::path& keyFile) {
  base::createDirectories(keyFile.parent_path(), 0700);
  // Two processes starting together must not each make a key: subscriptions
  // are bound to the one that was handed out.
  const base::FileLock lock(keyFile);
  const std::optional<std::string> pem = base::readFileIfExists(keyFile, kMaxKeyFile);
  if (pem) {
    if (PKey key = readKey(*pem)) {
      keepToOwner(keyFile);
      return PushCrypto(std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free));
    }
    detail::setAside(keyFile);
  }
  PKey key = generateKey();
  std::string text = writeKey(key.get());
  base::writeFileAtomically(keyFile, text, 0600);
  OPENSSL_cleanse(text.data(), text.size());
  return PushCrypto(std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free));
}

PushCrypto PushCrypto::load(const std::filesystem::path& keyFile) {
  std::optional<std::string> read = base::readFileIfExists(keyFile, kMaxKeyFile);
  if (!read)
    throw base::FileError("open", keyFile, ENOENT);
  std::string& pem = *read;
  PKey key = readKey(pem);
  OPENSSL_cleanse(pem.data(), pem.size());
  if (!key)
    throw PushCryptoError(keyFile.string() + " holds no P-256 private key");
  return PushCrypto(std::shared_ptr<EVP_PKEY>(key.release(), EVP_PKEY_free));
}

std::string PushCrypto::authorization(std::string_view endpoint, std::string_view subject,
                                      std::chrono::system_clock::time_point now,
                                      std::chrono::seconds lifetime) const {
  const std::string audience = urlOrigin(endpoint);
  if (audience.empty())
    throw PushCryptoError("push endpoint is not an http(s) URL");
  lifetime =
      std::clamp(lifetime, std::chrono::seconds(60), std::chrono::seconds(std::chrono::hours(24)));
  boost::json::object claims;
  claims["aud"] = audience;
  claims["exp"] =
      std::chrono::duration_cast<std::chrono::seconds>((now + lifetime).time_since_epoch()).count();
  claims["sub"] = subject;
  const std::string input = base64UrlEncode(R"({"typ":"JWT","alg":"ES256"})") + "." +
                            base64UrlEncode(boost::json::serialize(claims));
  return "vapid t=" + input + "." + base64UrlEncode(signES256(key_.get(), input)) +
         ", k=" + publicKey_;
}

// ---- payload encryption --------------------------------------------------------

std::string PushCrypto::encrypt(std::string_view plaintext, std::string_view receiverKey,
                                std::string_view authSecret) {
  if (plaintext.size() > kMaxPayload)
    throw PushCryptoError("push payload of " + std::to_string(plaintext.size()) +
                          " bytes exceeds " + std::to_string(kMaxPayload));
  if (authSecret.size() != 16)
    throw PushCryptoError("the subscription's auth secret is not 16 bytes");
  const PKey receiver = importPoint(receiverKey);
  const PKey ephemeral = generateKey();
  const std::string senderKey = publicPoint(ephemeral.get());

  std::string secret = ecdh(ephemeral.get(), receiver.get());
  std::string keyInfo = "WebPush: info";
  keyInfo.push_back('\0');
  keyInfo.append(receiverKey).append(senderKey);
  std::string ikm = hkdf(authSecret, secret, keyInfo, 32);

  const std::string salt = randomBytes(16);
  std::string cek = hkdf(salt, ikm, std::string_view("Content-Encoding: aes128gcm\0", 28), 16);
  std::string nonce = hkdf(salt, ikm, std::string_view("Content-Encoding: nonce\0", 24), 12);

  // One record, the last: the payload then the delimiter 0x02, no padding.
  std::string record(plaintext);
  record.push_back('\x02');
  const std::string sealed = sealRecord(cek, nonce, record);
  for (std::string* s : {&secret, &ikm, &cek, &nonce, &record})
    OPENSSL_cleanse(s->data(), s->size());

  constexpr std::uint32_t recordSize = 4096;
  std::string out = salt;
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<char>((recordSize >> shift) & 0xff));
  out.push_back(static_cast<char>(senderKey.size()));
  out += senderKey;
  out += sealed;
  return out;
}

}  // namespace parley::link

#include "push_browser.hpp"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <boost/json.hpp>

namespace parley::test {

namespace json = boost::json;

std::string b64url(std::string_view bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(bytes.data()),
                                static_cast<int>(bytes.size()));
  out.resize(static_cast<std::size_t>(n));
  std::erase(out, '=');
  for (char& c : out)
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

std::string unb64url(std::string text) {
  for (char& c : text)
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  const std::size_t pad = (4 - text.size() % 4) % 4;
  text.append(pad, '=');
  std::string out(text.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(std::max(n, 0)) - pad);
  return out;
}

namespace {

std::string hmac(std::string_view key, std::string_view data) {
  unsigned char out[32];
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(), out, &size);
  return std::string(reinterpret_cast<char*>(out), size);
}

// HKDF written out (extract, then one block of expand): every length used
// here fits in one SHA-256 block.
std::string hkdf(std::string_view salt, std::string_view ikm, std::string info, std::size_t n) {
  return hmac(hmac(salt, ikm), info + '\x01').substr(0, n);
}

PKey pointKey(const std::string& point) {
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY_fromdata_init(ctx);
  char group[] = "P-256";
  std::string copy = point;
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, copy.data(), copy.size()),
      OSSL_PARAM_construct_end()};
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  return PKey(key, &EVP_PKEY_free);
}

}  // namespace

Browser::Browser() : key(EVP_EC_gen("P-256"), &EVP_PKEY_free) {
  RAND_bytes(reinterpret_cast<unsigned char*>(auth.data()), 16);
  std::size_t n = 0;
  EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY,
                                  reinterpret_cast<unsigned char*>(point.data()), 65, &n);
}
link::PushSubscription Browser::subscription(const std::string& endpoint) const {
  return link::PushSubscription::parse(endpoint, b64url(point), b64url(auth), true);
}

std::string Browser::decrypt(const std::string& body) const {
  if (body.size() < 86 + 17 || static_cast<unsigned char>(body[20]) != 65)
    return {};
  const std::string salt = body.substr(0, 16), sender = body.substr(21, 65);
  const std::string sealed = body.substr(86);
  PKey senderKey = pointKey(sender);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key.get(), nullptr);
  std::string secret(32, '\0');
  std::size_t n = 32;
  EVP_PKEY_derive_init(ctx);
  EVP_PKEY_derive_set_peer(ctx, senderKey.get());
  EVP_PKEY_derive(ctx, reinterpret_cast<unsigned char*>(secret.data()), &n);
  EVP_PKEY_CTX_free(ctx);
  const std::string ikm =
      hkdf(auth, secret, std::string("WebPush: info\0", 14) + point + sender, 32);
  const std::string cek = hkdf(salt, ikm, std::string("Content-Encoding: aes128gcm\0", 28), 16);
  const std::string nonce = hkdf(salt, ikm, std::string("Content-Encoding: nonce\0", 24), 12);

  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  std::string plain(sealed.size(), '\0');
  int len = 0, tail = 0;
  auto u = [](const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); };
  EVP_DecryptInit_ex(c, EVP_aes_128_gcm(), nullptr, u(cek), u(nonce));
  EVP_DecryptUpdate(c, reinterpret_cast<unsigned char*>(plain.data()), &len, u(sealed),
                    static_cast<int>(sealed.size() - 16));
  std::string tag = sealed.substr(sealed.size() - 16);
  EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, tag.data());
  const bool ok =
      EVP_DecryptFinal_ex(c, reinterpret_cast<unsigned char*>(plain.data()) + len, &tail) == 1;
  EVP_CIPHER_CTX_free(c);
  plain.resize(static_cast<std::size_t>(len + tail));
  if (!ok || plain.empty() || plain.back() != '\x02')
    return {};
  plain.pop_back();
  return plain;
}

// Checks "vapid t=JWT, k=KEY" as a push service does; returns the claims,
// or null when the signature does not verify with k.
json::value verifiedClaims(const std::string& authorization) {
  const auto t = authorization.find("t="), k = authorization.find(", k=");
  if (authorization.rfind("vapid ", 0) != 0 || t == std::string::npos || k == std::string::npos)
    return nullptr;
  const std::string jwt = authorization.substr(t + 2, k - t - 2);
  const PKey key = pointKey(unb64url(authorization.substr(k + 4)));
  const auto dot1 = jwt.find('.'), dot2 = jwt.rfind('.');
  const std::string input = jwt.substr(0, dot2), raw = unb64url(jwt.substr(dot2 + 1));
  if (raw.size() != 64 || !key)
    return nullptr;
  ECDSA_SIG* sig = ECDSA_SIG_new();
  auto* r = reinterpret_cast<const unsigned char*>(raw.data());
  ECDSA_SIG_set0(sig, BN_bin2bn(r, 32, nullptr), BN_bin2bn(r + 32, 32, nullptr));
  unsigned char* der = nullptr;
  const int derSize = i2d_ECDSA_SIG(sig, &der);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key.get());
  const bool ok =
      EVP_DigestVerify(md, der, static_cast<std::size_t>(derSize),
                       reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
  EVP_MD_CTX_free(md);
  OPENSSL_free(der);
  if (!ok ||
      json::parse(unb64url(jwt.substr(0, dot1))) != json::parse(R"({"typ":"JWT","alg":"ES256"})"))
    return nullptr;
  return json::parse(unb64url(jwt.substr(dot1 + 1, dot2 - dot1 - 1)));
}

}  // namespace parley::test

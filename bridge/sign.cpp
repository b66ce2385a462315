#include "sign.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace pxrbridge {

namespace {

// The tag of subject and payload: the subject, a zero byte and the payload, under the key.
bool tag_of(const std::string &key, const char *subject, std::span<const uint8_t> payload,
            uint8_t (&tag)[EVP_MAX_MD_SIZE]) {
    std::vector<uint8_t> text(subject, subject + std::strlen(subject) + 1);
    text.insert(text.end(), payload.begin(), payload.end());
    unsigned len = 0;
    return HMAC(EVP_sha256(), key.data(), int(key.size()), text.data(), text.size(), tag, &len) !=
               nullptr &&
           len >= kTagBytes;
}

} // namespace

bool read_key(const std::string &path, std::string &key) {
    std::ifstream in(path);
    key.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const std::size_t first = key.find_first_not_of(" \t\r\n");
    key = first == std::string::npos
              ? ""
              : key.substr(first, key.find_last_not_of(" \t\r\n") + 1 - first);
    return !in.bad() && key.size() >= kMinKeyBytes;
}

void sign_payload(const std::string &key, const char *subject, std::span<const uint8_t> payload,
                  std::vector<uint8_t> &out) {
    uint8_t tag[EVP_MAX_MD_SIZE] = {};
    tag_of(key, subject, payload, tag);
    out.assign(payload.begin(), payload.end());
    out.insert(out.end(), tag, tag + kTagBytes);
}

bool check_signature(const std::string &key, const char *subject,
                     std::span<const uint8_t> &payload) {
    uint8_t tag[EVP_MAX_MD_SIZE] = {};
    if (payload.size() < kTagBytes) return false;
    const std::span<const uint8_t> body = payload.first(payload.size() - kTagBytes);
    if (!tag_of(key, subject, body, tag) ||
        CRYPTO_memcmp(tag, payload.data() + body.size(), kTagBytes) != 0)
        return false;
    payload = body;
    return true;
}

} // namespace pxrbridge

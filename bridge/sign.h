// Frames signed with the cluster's key. With `key=FILE`, every payload a bridge publishes
// carries at its end the first kTagBytes of an HMAC-SHA256, under the key, of the subject and
// the payload; a receiving bridge refuses whatever lacks a valid tag (refused_signature), so
// that only holders of the key can speak on the cluster's subjects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace pxrbridge {

inline constexpr std::size_t kTagBytes = 16;
inline constexpr std::size_t kMinKeyBytes = 16;

// Reads the key from path (surrounding white space dropped); false when the file cannot be
// read or holds fewer than kMinKeyBytes.
bool read_key(const std::string &path, std::string &key);

// out = payload followed by its tag.
void sign_payload(const std::string &key, const char *subject, std::span<const uint8_t> payload,
                  std::vector<uint8_t> &out);

// Whether payload ends in a valid tag for subject; on success payload loses the tag.
bool check_signature(const std::string &key, const char *subject,
                     std::span<const uint8_t> &payload);

} // namespace pxrbridge

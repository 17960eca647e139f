// Codecs the SMTP authentication needs: Base64, MD5, HMAC-MD5 and a hex formatter. Plain
// functions over byte strings; none can fail.
#pragma once

#include <string>

namespace codecs {

// RFC 4648 alphabet with "=" padding, never a line break.
std::string Base64Encode(const std::string& data);
// Lenient: every byte outside the 64-character alphabet (padding included) is skipped.
std::string Base64Decode(const std::string& text);
// RFC 1321 digest, 16 raw bytes.
std::string Md5Digest(const std::string& data);
// RFC 2104 HMAC with MD5 (64-byte block), 16 raw bytes.
std::string HmacMd5(const std::string& text, const std::string& key);
// Two lower-case hex digits per byte.
std::string HexLower(const std::string& data);

} // namespace codecs

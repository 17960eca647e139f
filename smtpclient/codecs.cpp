#include "smtpclient/codecs.h"

#include <cstdint>
#include <cstring>

namespace codecs {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// ---- MD5 (RFC 1321) --------------------------------------------------------------------

class Md5 {
  public:
    void Update(const unsigned char* data, size_t length) {
        for (size_t i = 0; i < length; ++i) {
            block_[used_++] = data[i];
            if (used_ == 64) {
                Transform(block_);
                used_ = 0;
            }
        }
        bits_ += static_cast<uint64_t>(length) * 8;
    }

    std::string Finish() {
        uint64_t bits = bits_;
        unsigned char pad = 0x80;
        Update(&pad, 1);
        unsigned char zero = 0;
        while (used_ != 56) Update(&zero, 1);
        unsigned char length[8];
        for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (8 * i));
        Update(length, 8);
        std::string digest(16, '\0');
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                digest[static_cast<size_t>(4 * i + j)] = static_cast<char>(state_[i] >> (8 * j));
        return digest;
    }

  private:
    static uint32_t Rotate(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

    void Transform(const unsigned char* block) {
        static const uint32_t k[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
            0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
            0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
            0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
            0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
            0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
            0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
            0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
            0xeb86d391};
        static const int shift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                      5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                      4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                      6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = static_cast<uint32_t>(block[4 * i]) |
                   (static_cast<uint32_t>(block[4 * i + 1]) << 8) |
                   (static_cast<uint32_t>(block[4 * i + 2]) << 16) |
                   (static_cast<uint32_t>(block[4 * i + 3]) << 24);
        uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = d;
            d = c;
            c = b;
            b = b + Rotate(a + f + k[i] + m[g], shift[i]);
            a = next;
        }
        state_[0] += a;
        state_[1] += b;
        state_[2] += c;
        state_[3] += d;
    }

    uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    unsigned char block_[64] = {};
    size_t used_ = 0;
    uint64_t bits_ = 0;
};

} // namespace

std::string Base64Encode(const std::string& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                     (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    size_t rest = data.size() - i;
    if (rest == 1) {
        uint32_t v = static_cast<unsigned char>(data[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (rest == 2) {
        uint32_t v = (static_cast<unsigned char>(data[i]) << 16) |
                     (static_cast<unsigned char>(data[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string Base64Decode(const std::string& text) {
    std::string out;
    out.reserve(text.size() * 3 / 4);
    uint32_t accumulator = 0;
    int count = 0;
    for (unsigned char c : text) {
        int v = Sextet(c);
        if (v < 0) continue;
        accumulator = (accumulator << 6) | static_cast<uint32_t>(v);
        if (++count == 4) {
            out += static_cast<char>((accumulator >> 16) & 0xFF);
            out += static_cast<char>((accumulator >> 8) & 0xFF);
            out += static_cast<char>(accumulator & 0xFF);
            accumulator = 0;
            count = 0;
        }
    }
    if (count == 3) {
        out += static_cast<char>((accumulator >> 10) & 0xFF);
        out += static_cast<char>((accumulator >> 2) & 0xFF);
    } else if (count == 2) {
        out += static_cast<char>((accumulator >> 4) & 0xFF);
    }
    return out;
}

std::string Md5Digest(const std::string& data) {
    Md5 md5;
    md5.Update(reinterpret_cast<const unsigned char*>(data.data()), data.size());
    return md5.Finish();
}

std::string HmacMd5(const std::string& text, const std::string& key) {
    std::string k = key.size() > 64 ? Md5Digest(key) : key;
    k.resize(64, '\0');
    std::string inner(64, '\0'), outer(64, '\0');
    for (size_t i = 0; i < 64; ++i) {
        inner[i] = static_cast<char>(k[i] ^ 0x36);
        outer[i] = static_cast<char>(k[i] ^ 0x5C);
    }
    return Md5Digest(outer + Md5Digest(inner + text));
}

std::string HexLower(const std::string& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (unsigned char c : data) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace codecs

// The codecs against the RFC vectors and, on many random inputs, against OpenSSL's libcrypto.
#include "smtpclient/codecs.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <random>

using namespace codecs;

namespace {

std::string Hex(const std::string& raw) {
    return HexLower(raw);
}

TEST(Codecs, Base64EncodeVectorsAndNoLineBreaks) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("a"), "YQ==");
    EXPECT_EQ(Base64Encode("ab"), "YWI=");
    EXPECT_EQ(Base64Encode("abc"), "YWJj");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Encode(std::string("\x00\xFF\xFE", 3)), "AP/+");
    std::string long1000(1000, 'x');
    EXPECT_EQ(Base64Encode(long1000).find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Encode(long1000).size(), 1336u);
}

TEST(Codecs, Base64DecodeIsLenient) {
    EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
    EXPECT_EQ(Base64Decode("Zm9v\r\nYm Fy"), "foobar");
    EXPECT_EQ(Base64Decode("YWI="), "ab");
    EXPECT_EQ(Base64Decode("YWI"), "ab"); // missing pad
    EXPECT_EQ(Base64Decode("YQ"), "a");
    EXPECT_EQ(Base64Decode("Y"), "");
    EXPECT_EQ(Base64Decode("!!\xC3\xA9YWJj**"), "abc");
    EXPECT_EQ(Base64Decode(""), "");
}

TEST(Codecs, Md5AndHmacRfcVectors) {
    EXPECT_EQ(Hex(Md5Digest("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Hex(Md5Digest("a")), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Hex(Md5Digest("abc")), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Hex(Md5Digest("message digest")), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(
        Hex(Md5Digest(
            "12345678901234567890123456789012345678901234567890123456789012345678901234567890")),
        "57edf4a22be3c955ac49da2e2107b67a");
    // RFC 2104 test cases 1 and 2, and a key longer than the block (RFC 2202 case 6).
    EXPECT_EQ(Hex(HmacMd5("Hi There", std::string(16, '\x0b'))),
              "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(Hex(HmacMd5("what do ya want for nothing?", "Jefe")),
              "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(Hex(HmacMd5("Test Using Larger Than Block-Size Key - Hash Key First",
                          std::string(80, '\xaa'))),
              "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    // RFC 2195: the CRAM-MD5 example exchange.
    std::string challenge =
        Base64Decode("PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+");
    EXPECT_EQ(challenge, "<1896.697170952@postoffice.reston.mci.net>");
    std::string response = "tim " + HexLower(HmacMd5(challenge, "tanstaaftanstaaf"));
    EXPECT_EQ(response, "tim b913a602c7eda7a495b4e6e7334d3890");
    EXPECT_EQ(Base64Encode(response), "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw");
    EXPECT_EQ(HexLower(std::string("\x00\xAB\xFF", 3)), "00abff");
}

TEST(Codecs, AgreeWithLibcryptoOnRandomInput) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 2000; ++round) {
        std::string data(random() % 300, '\0');
        for (char& c : data) c = static_cast<char>(random() & 0xFF);
        std::string key(random() % 150, '\0');
        for (char& c : key) c = static_cast<char>(random() & 0xFF);

        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int mdLength = 0;
        ASSERT_EQ(EVP_Digest(data.data(), data.size(), md, &mdLength, EVP_md5(), nullptr), 1);
        ASSERT_EQ(Md5Digest(data), std::string(reinterpret_cast<char*>(md), mdLength)) << round;

        HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), md, &mdLength);
        ASSERT_EQ(HmacMd5(data, key), std::string(reinterpret_cast<char*>(md), mdLength)) << round;

        std::string encoded(4 * ((data.size() + 2) / 3) + 1, '\0');
        int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<int>(data.size()));
        encoded.resize(static_cast<size_t>(n));
        ASSERT_EQ(Base64Encode(data), encoded) << round;
        ASSERT_EQ(Base64Decode(encoded), data) << round;
    }
}

} // namespace

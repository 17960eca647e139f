#include "blocksock/ipaddr.h"

#include <gtest/gtest.h>

using namespace blocksock;

namespace {

struct TextCase {
    const char* text;
    bool expected;
};

TEST(AddressText, IPv4Literals) {
    const TextCase cases[] = {
        {"1.2.3.4", true},    {"1.2.3", false},   {"1.2.3.4.5", false},      {"256.1.1.1", false},
        {"01.002.3.4", true}, {"1.2.3.a", false}, {"1. 2.3.4", true},        {"", false},
        {"1..3.4", false},    {"0.0.0.0", true},  {"255.255.255.255", true}, {"-1.2.3.4", false}};
    for (const auto& c : cases) EXPECT_EQ(IsIPv4Literal(c.text), c.expected) << c.text;
}

TEST(AddressText, IPv6Literals) {
    const TextCase cases[] = {{"::", true},
                              {"::1", true},
                              {"1::2", true},
                              {"1:2:3:4:5:6:7:8", true},
                              {"1:2:3:4:5:6:7:8:9", false},
                              {"1::2::3", false},
                              {"1::", false},
                              {"fe80::1%4", true},
                              {"fe80::1%zz", false},
                              {"12345::1", false},
                              {"1.2.3.4", false},
                              {"1", false},
                              {"::ffff:1.2.3.4", false},
                              {"FE80::ABCD", true},
                              {":::1", false}};
    for (const auto& c : cases) EXPECT_EQ(IsIPv6Literal(c.text), c.expected) << c.text;
}

TEST(AddressText, ExpandAndParseIPv6) {
    EXPECT_EQ(ExpandIPv6Text("::"), "0:0:0:0:0:0:0:0");
    EXPECT_EQ(ExpandIPv6Text("1::2"), "1:0:0:0:0:0:0:2");
    EXPECT_EQ(ExpandIPv6Text("::1"), "0:0:0:0:0:0:0:1");
    EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7::"), "");
    EXPECT_EQ(ExpandIPv6Text(""), "");
    EXPECT_EQ(ExpandIPv6Text("1:2:3:4:5:6:7:8"), "1:2:3:4:5:6:7:8");

    IPv6Bytes loopback{};
    loopback[15] = 1;
    EXPECT_EQ(ParseIPv6("::1"), loopback);
    EXPECT_EQ(ParseIPv6("1:2:3:4:5:6:7::"), IPv6Bytes{});
    EXPECT_EQ(ParseIPv6("1:2:3:4:5:6:7:8:9"), IPv6Bytes{});
    EXPECT_EQ(ParseIPv6("1::xyz"), IPv6Bytes{});
    IPv6Bytes oneThenZeros{};
    oneThenZeros[1] = 1;
    EXPECT_EQ(ParseIPv6("1:@:5"), oneThenZeros);
    IPv6Bytes mixed = ParseIPv6("fe80::abcd:12");
    EXPECT_EQ(mixed[0], 0xfe);
    EXPECT_EQ(mixed[1], 0x80);
    EXPECT_EQ(mixed[12], 0xab);
    EXPECT_EQ(mixed[13], 0xcd);
    EXPECT_EQ(mixed[15], 0x12);
}

IPv6Bytes Groups(std::initializer_list<uint16_t> groups) {
    IPv6Bytes bytes{};
    size_t i = 0;
    for (uint16_t g : groups) {
        bytes[i++] = static_cast<uint8_t>(g >> 8);
        bytes[i++] = static_cast<uint8_t>(g & 0xFF);
    }
    return bytes;
}

TEST(AddressText, FormatIPv6CompressesTheFirstLongestZeroRun) {
    struct {
        IPv6Bytes in;
        const char* out;
    } cases[] = {
        {Groups({1, 0, 0, 0, 0, 0, 0, 1}), "1::1"},
        {Groups({0, 0, 0, 0, 0, 0, 0, 0}), "::0"},
        {Groups({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
        {Groups({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
        {Groups({1, 0, 2, 3, 4, 5, 6, 7}), "1::2:3:4:5:6:7"},
        {Groups({0, 1, 0, 2, 0, 0, 0, 0}), "0:1:0:2::"},
        {Groups({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4"},
        {Groups({0xFE80, 0, 0, 0, 0xABCD, 1, 2, 3}), "fe80::abcd:1:2:3"},
        {Groups({1, 2, 3, 4, 5, 6, 7, 8}), "1:2:3:4:5:6:7:8"},
    };
    for (const auto& c : cases) {
        std::string text = FormatIPv6(c.in);
        EXPECT_EQ(text, c.out);
        EXPECT_EQ(text.find("::", text.find("::") + 1), std::string::npos) << text;
    }
}

TEST(AddressText, IPv4BytesAndDescriptorSets) {
    EXPECT_EQ(IPv4ToBytes("1.2.3.4"), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(IPv4ToBytes("257.x.3"), std::string("\x01\x00\x03\x00", 4));
    DescriptorSet set;
    for (int i = 0; i < 65; ++i) DescriptorSetAdd(100 + i, set);
    EXPECT_EQ(set.count, 64u);
    EXPECT_EQ(set.handles[63], 163);
    DescriptorSetClear(set);
    EXPECT_EQ(set.count, 0u);
}

} // namespace

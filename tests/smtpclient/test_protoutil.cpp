#include "smtpclient/protoutil.h"

#include <gtest/gtest.h>

using namespace protoutil;

namespace {

TEST(ProtoUtil, TextBeforeAndAfter) {
    EXPECT_EQ(TextBefore("smtp.example.com:587", ":"), "smtp.example.com");
    EXPECT_EQ(TextAfter("smtp.example.com:587", ":"), "587");
    EXPECT_EQ(TextBefore("smtp.example.com", ":"), "smtp.example.com");
    EXPECT_EQ(TextAfter("smtp.example.com", ":"), "smtp.example.com");
    EXPECT_EQ(TextAfter("a::b", "::"), "b");
    EXPECT_EQ(TextBefore("", ":"), "");
}

TEST(ProtoUtil, FieldsAndQuotedFields) {
    std::string v = "  a , b,c";
    EXPECT_EQ(TakeField(v, ","), "a");
    EXPECT_EQ(v, "b,c");
    std::string raw = "x;y";
    EXPECT_EQ(TakeFieldRaw(raw, ";"), "x");
    EXPECT_EQ(raw, "y");
    EXPECT_EQ(TakeFieldRaw(raw, ";"), "y");
    EXPECT_EQ(raw, "");

    std::string list = "\"Wei, Zhang\" <zhang.wei@corp.example>,boss@example.net";
    EXPECT_EQ(TakeQuotedField(list, ',', '"'), "\"Wei, Zhang\" <zhang.wei@corp.example>");
    EXPECT_EQ(list, "boss@example.net");
    EXPECT_EQ(TakeQuotedField(list, ',', '"'), "boss@example.net");
    EXPECT_EQ(list, "");
    std::string trailing = "a,";
    EXPECT_EQ(TakeQuotedField(trailing, ',', '"'), "a");
    EXPECT_EQ(trailing, "");
}

TEST(ProtoUtil, ExtractAddressAndTrims) {
    EXPECT_EQ(ExtractAddress("\"Wei, Zhang\" <zhang.wei@corp.example>"), "zhang.wei@corp.example");
    EXPECT_EQ(ExtractAddress("  boss@example.net \r\n"), "boss@example.net");
    EXPECT_EQ(ExtractAddress(""), "");
    EXPECT_EQ(TrimSpaces("\t a \t"), "\t a \t");
    EXPECT_EQ(TrimSpaces("  a  "), "a");
    EXPECT_EQ(Trim("\t a \r\n"), "a");
}

TEST(ProtoUtil, FindLineBreakTellsTheTerminator) {
    TLineBreak kind;
    EXPECT_EQ(FindLineBreak("ab\r\ncd", kind), 3);
    EXPECT_EQ(kind, TLineBreak::CRLF);
    EXPECT_EQ(FindLineBreak("ab\n\rcd", kind), 3);
    EXPECT_EQ(kind, TLineBreak::LFCR);
    EXPECT_EQ(FindLineBreak("abc\r", kind), 4);
    EXPECT_EQ(kind, TLineBreak::CR);
    EXPECT_EQ(FindLineBreak("a\nb", kind), 2);
    EXPECT_EQ(kind, TLineBreak::LF);
    EXPECT_EQ(FindLineBreak("abc", kind), -1);
}

TEST(ProtoUtil, TickSpanAllowsOneWrap) {
    EXPECT_EQ(TickSpan(100, 100), 0u);
    EXPECT_EQ(TickSpan(100, 250), 150u);
    EXPECT_EQ(TickSpan(0xFFFFFF00u, 0x10u), 0x110u);
    EXPECT_EQ(TickSpan(500, 200), 300u); // backwards without a wrap
    uint32_t a = TickMs();
    EXPECT_LT(TickSpan(a, TickMs()), 1000u);
}

TEST(ProtoUtil, ReplaceAllAndCountChar) {
    EXPECT_EQ(ReplaceAll("a.b.c", ".", ".."), "a..b..c");
    EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("", "a", "x"), "");
    EXPECT_EQ(CountChar("a,b,,c", ','), 3);
}

} // namespace

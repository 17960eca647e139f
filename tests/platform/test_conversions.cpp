#include "platform/gbk.h"
#include "platform/resources.h"
#include "platform/text.h"
#include "platform/tick.h"

#include <atomic>
#include <gtest/gtest.h>

namespace {

TEST(Gbk, ChineseRoundTripsAndBadBytesAreMarkedNotDropped) {
    const std::string gbk =
        "\xCD\xCB\xB3\xF6VantroSMTP\xB7\xFE\xCE\xF1\xC6\xF7\xC2\xF0\xA3\xBF"; // 退出VantroSMTP服务器吗？
    const std::string utf8 = "\xE9\x80\x80\xE5\x87\xBAVantroSMTP\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99"
                             "\xA8\xE5\x90\x97\xEF\xBC\x9F";
    EXPECT_EQ(platform::GbkToUtf8(gbk), utf8);
    EXPECT_EQ(platform::Utf8ToGbk(utf8), gbk);
    EXPECT_EQ(platform::GbkToUtf8("a\xFF"
                                  "b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(platform::GbkToUtf8("end\xCD"),
              "end\xEF\xBF\xBD");                                // cut in the middle of a character
    EXPECT_EQ(platform::Utf8ToGbk("x\xF0\x9F\x98\x80y"), "x?y"); // no GBK form for an emoji
    EXPECT_EQ(platform::GbkToUtf8(""), "");
}

TEST(Resources, LookedUpByNameAndTypeIgnoringCase) {
    static const char wave[] = "RIFF....WAVE";
    platform::RegisterResource("TestSound", "wave", std::string_view(wave, sizeof(wave) - 1));
    std::string_view data;
    ASSERT_TRUE(platform::FindResource("TESTSOUND", "WAVE", data));
    EXPECT_EQ(data, "RIFF....WAVE");
    EXPECT_FALSE(platform::FindResource("TESTSOUND", "BITMAP", data));
    EXPECT_TRUE(data.empty());
}

TEST(Tick, MonotonicMillisecondsAcrossASleep) {
    uint32_t start = platform::TickCount();
    platform::SleepMs(20);
    uint32_t span = platform::TickCount() - start;
    EXPECT_GE(span, 19u);
    EXPECT_LT(span, 2000u);
}

} // namespace

namespace {

TEST(ByteStrings, CaseAndTrimTouchOnlyAsciiLettersAndBlanks) {
    const std::string gbk = "\xD5\xC5\xCE\xB0"; // 张伟: bytes above 0x7F stay as they are
    EXPECT_EQ(platform::AsciiUpper("mail From:" + gbk), "MAIL FROM:" + gbk);
    EXPECT_EQ(platform::AsciiLower("KeHu@Example.NET" + gbk), "kehu@example.net" + gbk);
    EXPECT_TRUE(platform::SameIgnoringAsciiCase("SmtpConfig", "smtpconfig"));
    EXPECT_FALSE(platform::SameIgnoringAsciiCase("smtpconfig", "smtpconfi"));
    EXPECT_FALSE(platform::SameIgnoringAsciiCase("\xD5\xC5", "\xF5\xC5")); // no case above 0x7F
    EXPECT_EQ(platform::TrimBlanks("\x01\t a b \r\n"), "a b");
    EXPECT_EQ(platform::TrimSpaces("\t a \t"), "\t a \t");
    EXPECT_EQ(platform::TrimSpacesAndTabs("\t a b\t \r"), "a b\t \r");
    platform::LineBreak kind;
    EXPECT_EQ(platform::FindLineBreak("ab\n\r", kind), 3);
    EXPECT_EQ(kind, platform::LineBreak::LFCR);
    EXPECT_EQ(platform::ReplaceAll("aaa", "aa", "b"), "ba");
}

} // namespace

TEST(ByteStrings, ControlsInALogLineAreWrittenAsHexAndTextStaysAsItIs) {
    using platform::EscapeControls;
    // A terminal's title and clear-line sequences, a NUL and a line end from a peer's reply.
    EXPECT_EQ(EscapeControls(std::string("550 \x1B]0;owned\x07 no\r\nX-Fake: 1\x00 end", 33)),
              "550 \\x1B]0;owned\\x07 no\\x0D\\x0AX-Fake: 1\\x00 end");
    EXPECT_EQ(EscapeControls("tab\there\x7F"), "tab\\x09here\\x7F");
    // C1 controls (U+009B is a one-byte CSI for some terminals) go too; Chinese stays.
    EXPECT_EQ(EscapeControls("\xC2\x9B"
                             "2J \xE9\x82\xAE\xE4\xBB\xB6 \xC2\xA9"),
              "\\xC2\\x9B"
              "2J \xE9\x82\xAE\xE4\xBB\xB6 \xC2\xA9");
    EXPECT_EQ(EscapeControls("ends in \xC2"), "ends in \xC2");
}

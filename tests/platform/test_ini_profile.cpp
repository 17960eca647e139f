#include "platform/gbk.h"
#include "platform/ini_profile.h"
#include "platform/text_file.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using platform::IniProfile;

namespace {

class IniProfileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ini-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        path = (dir / "settings.ini").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void Write(const std::string& bytes) {
        ASSERT_TRUE(platform::WriteFileAtomically(path, bytes, 0644));
    }
    std::string Read() { return platform::ReadFileBytes(path).value_or("<missing>"); }

    std::filesystem::path dir;
    std::string path;
};

TEST_F(IniProfileTest, MissingKeyGivesDefaultButEmptyValueReadsEmpty) {
    Write("[smtpconfig]\r\nuser=\r\nport=465\r\n");
    IniProfile ini(path, "smtpconfig");
    EXPECT_EQ(ini.ReadString("user", "kalvex"), "");
    EXPECT_EQ(ini.ReadString("psw", "739104"), "739104");
    EXPECT_EQ(ini.ReadString("PORT", "25"), "465"); // key names ignore case
    IniProfile other(path, "elsewhere");
    EXPECT_EQ(other.ReadString("port", "25"), "25");
    IniProfile missing((dir / "none.ini").string(), "smtpconfig");
    EXPECT_EQ(missing.ReadString("port", "25"), "25");
    EXPECT_EQ(missing.ReadInteger("auth", 1), 1);
}

TEST_F(IniProfileTest, ASectionReadsWholeWithItsValuesAsWritten) {
    Write("[smtpconfig]\r\nuser=x\r\n[SecretCommand]\r\n; a comment=no\r\n"
          "me@mail.example = secret-tool lookup service smtp user 'me'  \r\n"
          "\r\nnoequals\r\nyou@b.example=\"/opt/my helper\" --print\r\n"
          "[other]\r\nx@y=z\r\n[secretcommand]\r\nlate@b.example=ignored\r\n");
    auto entries = IniProfile(path, "secretcommand").ReadSection();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].first, "me@mail.example");
    EXPECT_EQ(entries[0].second, "secret-tool lookup service smtp user 'me'");
    EXPECT_EQ(entries[1].second, "\"/opt/my helper\" --print"); // the shell's quotes stay
    EXPECT_TRUE(IniProfile(path, "missing").ReadSection().empty());
    EXPECT_TRUE(IniProfile((dir / "none.ini").string(), "s").ReadSection().empty());
}

TEST_F(IniProfileTest, LongValuesAreCutAt2047Bytes) {
    Write("[s]\r\nk=" + std::string(5000, 'a') + "\r\n");
    EXPECT_EQ(IniProfile(path, "s").ReadString("k", "").size(), 2047u);
    EXPECT_EQ(IniProfile(path, "s").ReadString("none", std::string(3000, 'b')).size(), 2047u);
}

TEST_F(IniProfileTest, IntegersTakeDecimalOrHexAndFallBackWhenNotANumber) {
    Write("[s]\r\na=1\r\nb=5\r\nc=0x1F\r\nd=abc\r\ne=\r\nf=-3\r\ng=256\r\nh=12xyz\r\n"
          "i=0abc\r\nj=5x\r\nk=0x1G\r\n");
    IniProfile ini(path, "s");
    EXPECT_EQ(ini.ReadInteger("a", 7), 1);
    EXPECT_EQ(ini.ReadInteger("b", 7), 5);
    EXPECT_EQ(ini.ReadInteger("c", 7), 31);
    EXPECT_EQ(ini.ReadInteger("d", 7), 7);
    EXPECT_EQ(ini.ReadInteger("e", 7), 7);
    EXPECT_EQ(ini.ReadInteger("f", 7), -3);
    EXPECT_EQ(ini.ReadInteger("g", 7), 256);
    // Not wholly a number: the default, not the leading digits.
    EXPECT_EQ(ini.ReadInteger("h", 7), 7);
    EXPECT_EQ(ini.ReadInteger("i", 7), 7);
    EXPECT_EQ(ini.ReadInteger("j", 7), 7);
    EXPECT_EQ(ini.ReadInteger("k", 7), 7);
    EXPECT_EQ(ini.ReadInteger("missing", 7), 7);
}

TEST_F(IniProfileTest, WritingReplacesInPlaceAndKeepsEveryOtherByte) {
    const std::string before = "; "
                               "comment\r\n[other]\r\nport=1\r\n\r\n[smtpconfig]\r\nuser="
                               "old\r\npsw=\xC3\xDC\r\n\r\n[tail]\r\nx=y\r\n";
    Write(before);
    IniProfile ini(path, "smtpconfig");
    ASSERT_TRUE(ini.WriteString("user", "new"));
    ASSERT_TRUE(ini.WriteString("port", "25"));
    EXPECT_EQ(Read(), "; "
                      "comment\r\n[other]\r\nport=1\r\n\r\n[smtpconfig]\r\nuser=new\r\npsw="
                      "\xC3\xDC\r\nport=25\r\n\r\n[tail]\r\nx=y\r\n");
    ASSERT_TRUE(ini.WriteString("user", ""));
    EXPECT_EQ(ini.ReadString("user", "default"), "");
    EXPECT_EQ(IniProfile(path, "other").ReadString("port", ""), "1");
}

TEST_F(IniProfileTest, WritingCreatesFileAndSectionWithCrLf) {
    IniProfile ini(path, "smtpconfig");
    ini.SetCreateMode(0600);
    ASSERT_TRUE(ini.WriteString("frommail", "a@b.example"));
    ASSERT_TRUE(ini.WriteString("auth", "1"));
    EXPECT_EQ(Read(), "[smtpconfig]\r\nfrommail=a@b.example\r\nauth=1\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Write("[a]\r\nk=v"); // no final line end: the new section starts on a line of its own
    ASSERT_TRUE(ini.WriteString("port", "25"));
    EXPECT_EQ(Read(), "[a]\r\nk=v\r\n[smtpconfig]\r\nport=25\r\n");
}

TEST_F(IniProfileTest, WindowsSettingsFileReadsAndRewritesByteIdentical) {
    auto original = platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/brontalnow.ini");
    ASSERT_TRUE(original.has_value());
    Write(*original);
    IniProfile ini(path, "smtpconfig");
    EXPECT_EQ(platform::GbkToUtf8(ini.ReadString("psw", "")),
              "\xE5\xAF\x86\xE7\xA0\x81Pa55"); // GBK bytes kept
    EXPECT_EQ(ini.ReadString("port", ""), "465");
    EXPECT_EQ(ini.ReadInteger("ssl", 0), 5);
    for (const char* key : {"frommail", "fsmail", "smtphost", "user", "psw", "port", "auth", "tls"})
        ASSERT_TRUE(ini.WriteString(key, ini.ReadString(key, "")));
    EXPECT_EQ(Read(), *original);
}

} // namespace

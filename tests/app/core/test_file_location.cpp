// Where the files live: beside a program the user can write to (or that already has its
// settings), else in the user's configuration folder, made owner-only.
#include "app/core/file_location.h"
#include "platform/text_file.h"
#include "tests/support/temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace app;
namespace fs = std::filesystem;

namespace {

struct Scene : testsupport::TempFolder {
    fs::path program = path / "bin";
    fs::path home = path / "home";
    fs::path& root = path;
    std::map<std::string, std::string> variables;

    Scene() : TempFolder("location") {
        fs::create_directories(program);
        fs::create_directories(home);
        // The user's home must be the user's: as root the checks run as nobody below.
        fs::permissions(home, fs::perms::all);
        variables["HOME"] = home.string();
    }
    void ReadOnlyProgramFolder() {
        fs::permissions(program, fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    }
    // As a user who cannot write the program folder (root can write anything).
    FileLocation Choose() {
        bool root = geteuid() == 0;
        if (root) setfsuid(65534);
        FileLocation location = ChooseFileFolder(program.string(), [this](const char* name) {
            auto found = variables.find(name);
            return found == variables.end() ? nullptr : found->second.c_str();
        });
        if (root) setfsuid(0);
        return location;
    }
};

TEST(FileLocation, AWritableProgramFolderKeepsTheFilesBesideTheProgram) {
    Scene scene;
    fs::permissions(scene.program, fs::perms::all); // writable for the user of the check too
    FileLocation location = scene.Choose();
    EXPECT_TRUE(location.besideProgram);
    EXPECT_EQ(location.folder, scene.program.string() + "/");
    EXPECT_FALSE(fs::exists(scene.home / ".config")); // nothing made elsewhere
}

TEST(FileLocation, AReadOnlyProgramFolderSendsThemToTheUsersConfigFolder) {
    Scene scene;
    scene.ReadOnlyProgramFolder();
    FileLocation location = scene.Choose();
    EXPECT_FALSE(location.besideProgram);
    EXPECT_EQ(location.folder, (scene.home / ".config" / "vantrosmtp").string() + "/");
    EXPECT_EQ(fs::status(scene.home / ".config" / "vantrosmtp").permissions() & fs::perms::all,
              fs::perms::owner_all);

    scene.variables["XDG_CONFIG_HOME"] = (scene.root / "xdg").string();
    fs::create_directories(scene.root / "xdg");
    fs::permissions(scene.root / "xdg", fs::perms::all);
    EXPECT_EQ(scene.Choose().folder, (scene.root / "xdg" / "vantrosmtp").string() + "/");
    scene.variables["XDG_CONFIG_HOME"] = "relative/ignored";
    EXPECT_EQ(scene.Choose().folder, (scene.home / ".config" / "vantrosmtp").string() + "/");
    scene.variables.clear();
    EXPECT_EQ(scene.Choose().folder, ""); // no home at all: no folder to offer
}

TEST(FileLocation, SettingsBesideAReadOnlyProgramStayInUse) {
    Scene scene;
    ASSERT_TRUE(platform::WriteFileAtomically((scene.program / "brontalnow.ini").string(),
                                              "[smtpconfig]\r\n", 0644));
    scene.ReadOnlyProgramFolder();
    FileLocation location = scene.Choose();
    EXPECT_TRUE(location.besideProgram);
    EXPECT_EQ(location.folder, scene.program.string() + "/");
}

TEST(FileLocation, TheSampleMessageIsLookedForInTheFilesFolderThenBesideThenInstalled) {
    EXPECT_EQ(
        SampleMessageCandidates("/home/u/.config/vantrosmtp/", "/usr/bin"),
        (std::vector<std::string>{"/home/u/.config/vantrosmtp/kalvex.eml", "/usr/bin/kalvex.eml",
                                  "/usr/bin/../share/vantrosmtp/kalvex.eml"}));
    EXPECT_EQ(
        SampleMessageCandidates("/opt/v/", "/opt/v/"),
        (std::vector<std::string>{"/opt/v/kalvex.eml", "/opt/v/../share/vantrosmtp/kalvex.eml"}));
}

} // namespace

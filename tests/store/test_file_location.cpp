// Where the files live: beside an unpacked program the user can write to (or that already
// has its settings), else, and for an installed program always, in the user's configuration
// folder, made owner-only.
#include "platform/text_file.h"
#include "store/file_location.h"
#include "tests/support/temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace store;
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

// Where each kind of copy keeps its files. "Writable" is the program folder as its user sees
// it: root's /usr/bin is writable, a user's is not.
struct LocationCase {
    const char* copy;
    bool installed;      // <prefix>/share/vantrosmtp beside <prefix>/bin
    bool writable;       // the program folder, for the user who runs it
    bool settingsBeside; // brontalnow.ini already in the program folder
    const char* xdg;     // XDG_CONFIG_HOME: "" unset, "REL" a relative value, "ABS" a folder
    bool home;
    const char* expected; // "beside", "config" (~/.config/vantrosmtp), "xdg", "" (none)
};

const LocationCase kLocationCases[] = {
    {"an unpacked copy the user can write", false, true, false, "", true, "beside"},
    {"an unpacked copy the user cannot write", false, false, false, "", true, "config"},
    {"a read-only copy that already holds its settings", false, false, true, "", true, "beside"},
    {"installed, run by root", true, true, false, "", true, "config"},
    {"installed, run by a user", true, false, false, "", true, "config"},
    {"installed, settings already beside it", true, false, true, "", true, "beside"},
    {"installed, root, settings already beside it", true, true, true, "", true, "beside"},
    {"installed, XDG_CONFIG_HOME a folder", true, true, false, "ABS", true, "xdg"},
    {"installed, XDG_CONFIG_HOME relative (ignored)", true, true, false, "REL", true, "config"},
    {"installed, XDG_CONFIG_HOME a folder and no HOME", true, false, false, "ABS", false, "xdg"},
    {"installed, no HOME", true, true, false, "", false, ""},
};

TEST(FileLocation, EachKindOfCopyKeepsItsFilesWhereItsUserExpectsThem) {
    for (const LocationCase& c : kLocationCases) {
        SCOPED_TRACE(c.copy);
        Scene scene;
        if (c.installed) fs::create_directories(scene.root / "share" / "vantrosmtp");
        if (c.settingsBeside) {
            ASSERT_TRUE(platform::WriteFileAtomically((scene.program / "brontalnow.ini").string(),
                                                      "[smtpconfig]\r\n", 0644));
        }
        if (c.writable)
            fs::permissions(scene.program, fs::perms::all); // for the user of the check too
        else
            scene.ReadOnlyProgramFolder();
        fs::path xdg = scene.root / "xdg";
        if (std::string(c.xdg) == "ABS") {
            fs::create_directories(xdg);
            fs::permissions(xdg, fs::perms::all);
            scene.variables["XDG_CONFIG_HOME"] = xdg.string();
        } else if (std::string(c.xdg) == "REL") {
            scene.variables["XDG_CONFIG_HOME"] = "relative/ignored";
        }
        if (!c.home) scene.variables.erase("HOME");

        FileLocation location = scene.Choose();
        std::string expected = c.expected;
        fs::path userFolder = scene.home / ".config" / "vantrosmtp";
        if (expected == "beside") {
            EXPECT_TRUE(location.besideProgram);
            EXPECT_EQ(location.folder, scene.program.string() + "/");
            EXPECT_FALSE(fs::exists(scene.home / ".config")); // nothing made elsewhere
        } else if (expected == "config") {
            EXPECT_FALSE(location.besideProgram);
            EXPECT_EQ(location.folder, userFolder.string() + "/");
            // Owner-only: it holds the upstream passwords and the user's mail.
            EXPECT_EQ(fs::status(userFolder).permissions() & fs::perms::all, fs::perms::owner_all);
        } else if (expected == "xdg") {
            EXPECT_EQ(location.folder, (xdg / "vantrosmtp").string() + "/");
        } else {
            EXPECT_EQ(location.folder, ""); // no home at all: no folder to offer
        }
        // Whatever the choice, an installed program leaves its folder as it was.
        if (c.installed && !c.settingsBeside) {
            EXPECT_TRUE(fs::is_empty(scene.program));
        }
    }
}

TEST(FileLocation, AnUnsetHomeIsTheAccountsHomeFromThePasswordDatabase) {
    const char* saved = std::getenv("HOME");
    std::string kept = saved ? saved : "";
    unsetenv("HOME");
    const char* home = ProcessEnvironment("HOME");
    if (saved) setenv("HOME", kept.c_str(), 1);
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(std::string(home), getpwuid(geteuid())->pw_dir);
    EXPECT_EQ(ProcessEnvironment("VANTRO_SURELY_UNSET_VARIABLE"), nullptr);
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

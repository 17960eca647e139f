#include "app/core/relay_files.h"

#include "platform/text_file.h"
#include "store/file_location.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

// Every file of ours holds a password or correspondents' addresses: owner only.
constexpr unsigned kOwnerOnly = 0600;

// The archive of a list file: "good.ini" → "good-archive.ini".
std::string ArchiveName(const std::string& name) {
    size_t dot = name.rfind('.');
    return name.substr(0, dot) + "-archive" + (dot == std::string::npos ? "" : name.substr(dot));
}

// A file that exists with a looser mode (made by hand, or by an older version) is tightened
// when it is read, not left open to others until the next write.
void TightenMode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
        ::chmod(path.c_str(), st.st_mode & 0700);
}

// Appends the lines (CR LF each) and waits until they are on disk.
bool AppendLines(const std::string& path, const StringList& lines) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, kOwnerOnly);
    if (fd < 0) return false;
    ::fchmod(fd, kOwnerOnly); // an archive an older version made readable to all
    std::string text = JoinLines(lines);
    bool ok = platform::WriteAllBytes(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

// In the order they are read: one that cannot be read stops the reading of those after it.
const char* const kListNames[] = {RelayFiles::kAccountListName, RelayFiles::kRelayedListName,
                                  RelayFiles::kFailedListName};

} // namespace

FolderContents RelayFiles::Read() {
    FolderContents contents;
    std::string settings = store::SettingsPathOf(folder_);
    // A settings file we cannot read is left alone at the end, or its account would be
    // replaced by the defaults.
    if (platform::FileExists(settings) && !platform::ReadFileBytes(settings))
        unreadable_.insert(settings);
    else
        TightenMode(settings);
    contents.credentials = CredentialCommands::Read(settings);
    contents.account = ReadSettings(settings);
    contents.policy = ReadPolicy(settings);
    std::optional<StringList>* lists[] = {&contents.accountList, &contents.relayed,
                                          &contents.failed};
    for (size_t i = 0; i < std::size(kListNames); ++i) {
        std::string path = PathOf(kListNames[i]);
        if (!platform::FileExists(path)) continue;
        if (!contents.unreadableList.empty()) {
            // Not read because an earlier one failed: its file must not be replaced either.
            unreadable_.insert(path);
            continue;
        }
        *lists[i] = LoadStringList(path);
        if (!*lists[i]) {
            unreadable_.insert(path);
            contents.unreadableList = path;
            continue;
        }
        TightenMode(path);
    }
    return contents;
}

bool RelayFiles::Archive(const std::string& listName, const StringList& lines) {
    std::string archive = PathOf(ArchiveName(listName));
    if (AppendLines(archive, lines)) return true;
    std::fprintf(stderr, "vantrosmtp: cannot append to %s; %s keeps its lines\n", archive.c_str(),
                 listName.c_str());
    return false;
}

bool RelayFiles::WriteSettingsFile(const Account& account, const RelayPolicy& policy,
                                   std::string& path) {
    path = store::SettingsPathOf(folder_);
    return unreadable_.count(path) || WriteSettings(path, account, policy);
}

void RelayFiles::WriteList(const std::string& name, const StringList& lines) {
    std::string path = PathOf(name);
    if (!unreadable_.count(path))
        SaveStringList(path, lines, kOwnerOnly, platform::FileMode::Always);
}

} // namespace app

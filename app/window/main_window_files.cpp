// The window's files: reading them at start, the archive of long lists, and the save at the
// end, which never writes over a file it could not read.
#include "app/window/main_window.h"

#include "platform/text_file.h"
#include "store/file_location.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

constexpr size_t kListLimit = 500;

// The archive of a list file: "good.ini" → "good-archive.ini".
std::string ArchiveName(const std::string& name) {
    size_t dot = name.rfind('.');
    return name.substr(0, dot) + "-archive" + (dot == std::string::npos ? "" : name.substr(dot));
}

// Every file of ours holds a password or correspondents' addresses: owner only.
constexpr unsigned kOwnerOnly = 0600;

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

} // namespace

void TForm1::LoadSettings() {
    std::string settings = FilePath("brontalnow.ini");
    // A settings file we cannot read is left alone at the end, or its account would be
    // replaced by the defaults.
    if (platform::FileExists(settings) && !platform::ReadFileBytes(settings))
        unreadable_.insert("brontalnow.ini");
    else
        TightenMode(settings);
    core_->SetCredentialCommands(CredentialCommands::Read(settings));
    core_->LoadAccount(ReadSettings(settings));
    core_->SetPolicy(ReadPolicy(settings));
    ShowSecretSource();
}

bool TForm1::LoadLists() {
    const char* const lists[] = {"brontalhao.ini", "good.ini", "bad.ini"};
    bool allRead = true;
    for (const char* name : lists) {
        std::string path = FilePath(name);
        if (!allRead) {
            // Not read because an earlier one failed: its file must not be replaced either.
            if (platform::FileExists(path)) unreadable_.insert(name);
            continue;
        }
        if (!platform::FileExists(path)) continue;
        auto lines = LoadStringList(path);
        if (!lines) {
            unreadable_.insert(name);
            options_.showError(QString::fromUtf8("Cannot open file \"") +
                               QString::fromStdString(path) + "\"");
            allRead = false;
            continue;
        }
        TightenMode(path);
        if (name == lists[0])
            SetLines(Memo4, *lines); // the box is the account list's editor: the core gets it
        else
            core_->LoadRecords(name == lists[1] ? ListKind::Relayed : ListKind::Failed, *lines);
    }
    return allRead;
}

void TForm1::ArchiveOverflow(ListKind kind, const char* name) {
    if (core_->Records(kind).Count() <= kListLimit) return;
    std::string archive = FilePath(ArchiveName(name).c_str());
    if (!AppendLines(archive, core_->Records(kind).Lines())) {
        // Emptying the list now would lose its records: it stays as it is.
        std::fprintf(stderr, "vantrosmtp: cannot append to %s; %s keeps its lines\n",
                     archive.c_str(), name);
        return;
    }
    core_->LoadRecords(kind, {});
}

void TForm1::StartServer() {
    try {
        core_->Start();
        ReportListening();
    } catch (const std::exception& e) {
        std::string where = options_.srvAddr + " port " + options_.srvPort;
        std::fprintf(stderr, "vantrosmtp: cannot listen on %s: %s\n", where.c_str(), e.what());
        if (std::string(e.what()).find("10013") != std::string::npos)
            std::fprintf(
                stderr,
                "vantrosmtp: ports below 1024 need a privilege; grant it once "
                "with: sudo setcap cap_net_bind_service=+ep %s\n",
                ((options_.executableDir.empty() ? options_.programDir : options_.executableDir) +
                 "vantrosmtp")
                    .c_str());
        options_.showError(QString::fromStdString(e.what()));
    }
}

std::string TForm1::SampleMessagePath() const {
    std::string programDir =
        options_.executableDir.empty() ? options_.programDir : options_.executableDir;
    for (const std::string& path : store::SampleMessageCandidates(options_.programDir, programDir))
        if (platform::FileExists(path)) return path;
    return std::string();
}

void TForm1::ReportListening() {
    std::fprintf(stderr, "vantrosmtp: listening on %s port %s; files in %s; %s\n",
                 options_.srvAddr.c_str(), options_.srvPort.c_str(), options_.programDir.c_str(),
                 core_->Policy().remoteClients ? "other machines may relay"
                                               : "only this machine may relay");
    std::string ipv6 = core_->ListeningIpv6();
    if (!ipv6.empty())
        std::fprintf(stderr, "vantrosmtp: listening on [%s] port %s too\n", ipv6.c_str(),
                     options_.srvPort.c_str());
    else if (!core_->Server().Ipv6Problem().empty())
        std::fprintf(stderr, "vantrosmtp: not listening on IPv6 (%s); IPv4 only\n",
                     core_->Server().Ipv6Problem().c_str());
    if (store::Spool* spool = core_->SpoolOf(); spool && !spool->Ok())
        std::fprintf(stderr,
                     "vantrosmtp: the spool folder %sspool is not used: %s; mail is refused "
                     "with 451 until it is a folder of yours alone\n",
                     options_.programDir.c_str(), spool->Problem().c_str());
    if (core_->NoAccountSetUp())
        std::fprintf(stderr,
                     "vantrosmtp: 尚未设置发送帐户 (no sending account set up yet): mail would go "
                     "to the placeholder %s and fail; add an account in the window (增加帐户) "
                     "or, with the program stopped, in %sbrontalhao.ini\n",
                     kDefaultSmtpHost, options_.programDir.c_str());
}

bool TForm1::FormDestroy() {
    if (destroyed_) return true;
    destroyed_ = true;
    // Outcomes that come in while deliveries finish are listed before the lists are saved.
    core_->Shutdown();
    std::string settings = FilePath("brontalnow.ini");
    if (!unreadable_.count("brontalnow.ini") &&
        !WriteSettings(settings, core_->AccountInForce(), core_->Policy())) {
        std::fprintf(stderr, "vantrosmtp: unable to write to %s\n", settings.c_str());
        if (!signalled_)
            options_.showError(QString::fromStdString("Unable to write to " + settings));
        return false;
    }
    // Each list is saved on its own: one that fails must not cost the others.
    auto save = [&](const char* name, const StringList& lines, unsigned mode,
                    platform::FileMode rule) {
        if (!unreadable_.count(name)) SaveStringList(FilePath(name), lines, mode, rule);
    };
    save("good.ini", core_->Records(ListKind::Relayed).Lines(), kOwnerOnly,
         platform::FileMode::Always);
    save("bad.ini", core_->Records(ListKind::Failed).Lines(), kOwnerOnly,
         platform::FileMode::Always);
    save("brontalhao.ini", core_->AccountList(), kOwnerOnly, platform::FileMode::Always);
    return true;
}

} // namespace app

// vantrosmtp-sendmail: what programs that run /usr/sbin/sendmail find in its place. It reads
// one message from standard input and submits it to the running relay on 127.0.0.1 (port 25,
// or VANTRO_TEST_PORT); when no relay listens, the message waits in the relay's spool for its
// next start. "-bp" (or the name mailq) lists the spool. Exit statuses are sendmail's (sysexits.h).
#include "sendmail/arguments.h"
#include "sendmail/message.h"
#include "sendmail/options.h"
#include "sendmail/queue_listing.h"
#include "sendmail/submit.h"
#include "store/aliases.h"
#include "store/file_location.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <utility>

namespace {

int Fail(int status, const std::string& message) {
    std::fprintf(stderr, "vantrosmtp-sendmail: %s\n", message.c_str());
    return status;
}

// The relay's files, found by the rule the relay places them with: the command lies beside
// the program.
std::string FileFolder() {
    return store::ChooseFileFolder(store::ProgramDirectory(), store::ProcessEnvironment, false)
        .folder;
}

std::string SpoolFolder() {
    return store::SpoolFolderOf(FileFolder());
}

// The system's aliases; tests give a file of their own instead of the machine's.
const char* SystemAliases() {
    const char* path = std::getenv("VANTRO_TEST_SYSTEM_ALIASES");
    return path ? path : store::kSystemAliases;
}

// Local names ("root", a login) replaced by the addresses their aliases give; kExitOk, or
// kExitNoRecipients with `error` saying how to give the name an address.
int ResolveLocalNames(std::vector<std::string>& recipients, std::string& error) {
    bool anyLocal = std::any_of(recipients.begin(), recipients.end(), [](const std::string& r) {
        return r.find('@') == std::string::npos;
    });
    if (!anyLocal) return sendmail::kExitOk; // no file is read for mail to addresses
    std::string folder = FileFolder(), problem;
    std::vector<std::string> notes;
    std::vector<std::string> resolved =
        store::ResolveLocalNames(recipients, folder, SystemAliases(), notes, problem);
    for (const std::string& note : notes)
        std::fprintf(stderr, "vantrosmtp-sendmail: %s\n", note.c_str());
    if (resolved.empty()) {
        error = problem + "; give it an address with a line such as \"root: you@example.org\" in " +
                (folder.empty() ? std::string("the aliases file") : store::AliasesPathOf(folder)) +
                " (or " + store::kSystemAliases +
                "), or set maildomain=<your domain> in the "
                "[smtpconfig] section of " +
                (folder.empty() ? std::string("brontalnow.ini") : store::SettingsPathOf(folder));
        return sendmail::kExitNoRecipients;
    }
    recipients = std::move(resolved);
    return sendmail::kExitOk;
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

std::string LoginName() {
    if (const passwd* user = ::getpwuid(::getuid())) return user->pw_name;
    if (const char* name = std::getenv("USER")) return name;
    return "nobody";
}

int Send(const sendmail::Options& options) {
    std::string refusal;
    if (int status = sendmail::CheckArguments(options, refusal); status != sendmail::kExitOk)
        return Fail(status, refusal);
    sendmail::InputText input;
    if (!input.AppendAllOf(stdin))
        return Fail(sendmail::kExitInternal, "cannot read standard input");
    sendmail::Identity identity;
    identity.hostName = HostName();
    identity.sender =
        !options.sender.empty() ? options.sender : LoginName() + "@" + identity.hostName;
    identity.now = std::time(nullptr);
    identity.uniquifier = ::getpid();
    sendmail::Prepared message;
    std::string error;
    int status = sendmail::PrepareMessage(std::move(input), options, identity, message, error);
    if (status == sendmail::kExitOk) status = ResolveLocalNames(message.recipients, error);
    if (status != sendmail::kExitOk) return Fail(status, error);
    const char* testPort = std::getenv("VANTRO_TEST_PORT");
    int port = testPort && *testPort ? std::atoi(testPort) : 25;
    bool notListening = false;
    status = sendmail::SubmitToRelay(message, identity.sender, port, notListening, error);
    if (!notListening) return status == sendmail::kExitOk ? status : Fail(status, error);
    std::string spool = SpoolFolder(), id;
    if (spool.empty())
        return Fail(sendmail::kExitTemporary,
                    "the relay of the desktop user is not running, and this user (" + LoginName() +
                        ") has no folder for its files");
    std::string spoolError;
    status = sendmail::SpoolForNextStart(message, identity.sender, spool, id, spoolError);
    if (status != sendmail::kExitOk)
        return Fail(status, "the relay is not running (" + error +
                                ") and its spool cannot be "
                                "written: " +
                                spoolError +
                                "; the relay of the desktop user must run to take mail from " +
                                LoginName() + ", or mail as the user who runs it");
    std::fprintf(stderr,
                 "vantrosmtp-sendmail: the relay is not running; the message waits in %s as %s "
                 "and goes out at its next start\n",
                 spool.c_str(), id.c_str());
    return sendmail::kExitOk;
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // Called as mailq (the MTA package's link), it lists the queue as sendmail -bp does.
    if (argc > 0 && std::filesystem::path(argv[0]).filename() == "mailq")
        arguments.insert(arguments.begin(), "-bp");
    auto options = sendmail::ParseOptions(arguments, error);
    if (!options)
        return Fail(sendmail::kExitUsage,
                    error + "\nusage: vantrosmtp-sendmail [-t] [-i] [-f sender] [-F name] "
                            "[--] [recipient ...] < message  |  vantrosmtp-sendmail -bp");
    if (options->mode == sendmail::Options::Mode::ListQueue) {
        std::string listing;
        if (!sendmail::ListQueue(SpoolFolder(), listing, error))
            return Fail(sendmail::kExitTemporary, error);
        std::fputs(listing.c_str(), stdout);
        return sendmail::kExitOk;
    }
    try {
        return Send(*options);
    } catch (const std::exception& e) {
        return Fail(sendmail::kExitInternal, e.what());
    }
}

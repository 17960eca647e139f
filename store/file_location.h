// Where the program keeps its files. Beside the executable, as the Windows build does, for
// an unpacked copy whose folder can be written (portable use, a build folder, `make run`) and
// for a folder that already holds the settings; otherwise in the user's configuration
// folder: for an installed program always, root included (root can write /usr/bin, but its
// passwords have no place among the system's programs), so that nothing is lost because
// /usr/bin cannot be written and nothing of one user's is another's.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace store {

struct FileLocation {
    std::string folder; // with a trailing "/"; empty when no folder could be had
    bool besideProgram = false;
};

// The folder for the settings, the account list, the result lists, the spool and the lock.
// A program is installed when `programDir`/../share/vantrosmtp is a folder (as `make
// install` and the package lay it out). `environment` reads a variable (XDG_CONFIG_HOME,
// HOME); the user folder ($XDG_CONFIG_HOME/vantrosmtp/, by default ~/.config/vantrosmtp/) is
// created 0700 unless `make` is false. The sendmail command chooses by the same rule, so
// both find one spool; it makes nothing (a caller that is not the relay's user, root's cron
// say, must not get files no relay reads).
FileLocation ChooseFileFolder(const std::string& programDir,
                              const std::function<const char*(const char*)>& environment,
                              bool make = true);

// The folder the running program lies in, with a trailing "/" ("./" when it cannot be told):
// what both programs pass to ChooseFileFolder.
std::string ProgramDirectory();

// The settings file ("brontalnow.ini") within the files' folder `fileFolder`.
std::string SettingsPathOf(const std::string& fileFolder);

// The spool folder within the files' folder `fileFolder` (with its trailing "/"); empty when
// there is no files' folder. The relay and the sendmail command find one spool through it.
std::string SpoolFolderOf(const std::string& fileFolder);

// The process's environment for ChooseFileFolder: HOME, when unset (a service, a cron job
// started without it), is the home folder the password database gives the effective user.
const char* ProcessEnvironment(const char* name);

// Where "kalvex.eml" is looked for, in order: the files' folder, beside the program, and the
// installed sample (<prefix>/share/vantrosmtp/ for a program in <prefix>/bin/).
std::vector<std::string> SampleMessageCandidates(const std::string& fileFolder,
                                                 const std::string& programDir);

} // namespace store

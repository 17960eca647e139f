// Where the program keeps its files. Beside the executable, as the Windows build does, when
// that folder can be written or already holds the settings (portable use, `make run`);
// otherwise, for an installed program, in the user's configuration folder, so that nothing
// is lost because /usr/bin cannot be written and nothing of one user's is another's.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace app {

struct FileLocation {
    std::string folder; // with a trailing "/"; empty when no folder could be had
    bool besideProgram = false;
};

// The folder for the settings, the account list, the result lists, the spool and the lock.
// `environment` reads a variable (XDG_CONFIG_HOME, HOME); the user folder
// ($XDG_CONFIG_HOME/vantrosmtp/, by default ~/.config/vantrosmtp/) is created 0700.
FileLocation ChooseFileFolder(const std::string& programDir,
                              const std::function<const char*(const char*)>& environment);

// Where "kalvex.eml" is looked for, in order: the files' folder, beside the program, and the
// installed sample (<prefix>/share/vantrosmtp/ for a program in <prefix>/bin/).
std::vector<std::string> SampleMessageCandidates(const std::string& fileFolder,
                                                 const std::string& programDir);

} // namespace app

// `vantrosmtp --sign-in MAILBOX`: the sign-in of an account of the section [oauth2] without
// the window. The authorization address goes to standard output as one line (and to the
// desktop's browser, where there is a desktop); the browser's answer is waited for, and the
// refresh token kept in the user's token store. Exit status 0 when it is kept, else 1 with
// the reason on standard error.
#pragma once

#include <string>

namespace app {

int RunSignInCommand(const std::string& mailbox, const std::string& filesFolder);

// Opens `address` with the desktop's URL opener (xdg-open) where there is a desktop; quietly
// nothing where there is none (the address is printed for the user to open).
void OpenInBrowser(const std::string& address);

} // namespace app

#include "app/core/sign_in_command.h"

#include "app/core/oauth_sign_in.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace app {

void OpenInBrowser(const std::string& address) {
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (!(x11 && *x11) && !(wayland && *wayland)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The opener's own chatter is not ours to print; its standard output is the address line's.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const char* argv[] = {"xdg-open", address.c_str(), nullptr};
    pid_t opener = 0;
    if (posix_spawnp(&opener, "xdg-open", &actions, nullptr, const_cast<char**>(argv), environ) ==
        0) {
        // xdg-open returns once the browser has the address; waited for, it leaves no zombie.
        int status = 0;
        ::waitpid(opener, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

int RunSignInCommand(const std::string& mailbox, const std::string& filesFolder) {
    std::string settings = filesFolder + "brontalnow.ini";
    OAuthSettings oauth = ReadOAuthSettings(settings);
    const OAuthProvider* provider = oauth.ProviderOf(mailbox);
    if (!provider) {
        std::fprintf(stderr,
                     "vantrosmtp: %s signs in with no provider: add %s=google (or microsoft, or "
                     "a [provider NAME] of your own) to the section [oauth2] of %s\n",
                     mailbox.c_str(), mailbox.c_str(), settings.c_str());
        return 1;
    }
    std::shared_ptr<TokenStore> store = UsersTokenStore(filesFolder);
    SignInOutcome outcome =
        SignIn(*provider, mailbox, *store, LibcurlPoster(), [](const std::string& address) {
            std::printf("%s\n", address.c_str());
            std::fflush(stdout);
            std::fprintf(stderr,
                         "vantrosmtp: sign in in the browser (waiting up to %lld minutes)\n",
                         static_cast<long long>(kSignInWait.count()));
            OpenInBrowser(address);
        });
    if (!outcome.ok) {
        std::fprintf(stderr, "vantrosmtp: %s is not signed in: %s\n", mailbox.c_str(),
                     outcome.reason.c_str());
        return 1;
    }
    std::fprintf(stderr, "vantrosmtp: %s is signed in with %s; the sign-in is kept in %s\n",
                 mailbox.c_str(), provider->name.c_str(), outcome.where.c_str());
    return 0;
}

} // namespace app

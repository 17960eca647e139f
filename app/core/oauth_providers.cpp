#include "app/core/oauth_providers.h"

#include "platform/ini_profile.h"
#include "platform/text.h"

#include <arpa/inet.h>

namespace app {

namespace {

std::map<std::string, OAuthProvider> BuiltInProviders() {
    OAuthProvider google{"google",
                         "https://accounts.google.com/o/oauth2/v2/auth",
                         "https://oauth2.googleapis.com/token",
                         "",
                         "",
                         "https://mail.google.com/",
                         "access_type=offline&prompt=consent"};
    OAuthProvider microsoft{"microsoft",
                            "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
                            "https://login.microsoftonline.com/common/oauth2/v2.0/token",
                            "",
                            "",
                            "https://outlook.office.com/SMTP.Send offline_access",
                            ""};
    return {{"google", google}, {"microsoft", microsoft}};
}

bool IsLoopbackHost(const std::string& host) {
    if (platform::AsciiLower(host) == "localhost") return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

// The host of "scheme://host[:port]/...", brackets of an IPv6 literal removed.
std::string HostOf(const std::string& afterScheme) {
    std::string authority = afterScheme.substr(0, afterScheme.find_first_of("/?#"));
    authority = authority.substr(authority.find('@') + 1); // no user part is honoured
    if (!authority.empty() && authority[0] == '[')
        return authority.substr(1, authority.find(']') - 1);
    return authority.substr(0, authority.find(':'));
}

} // namespace

std::string EndpointProblem(const std::string& url) {
    std::string lower = platform::AsciiLower(url);
    if (lower.rfind("https://", 0) == 0 && !HostOf(url.substr(8)).empty()) return {};
    if (lower.rfind("http://", 0) == 0) {
        std::string host = HostOf(url.substr(7));
        if (IsLoopbackHost(host)) return {};
        return "\"" + url + "\" is not https (http only to a loopback address)";
    }
    return "\"" + url + "\" is not an https address";
}

std::string ProviderProblem(const OAuthProvider& provider) {
    if (provider.clientId.empty())
        return "provider " + provider.name +
               " has no client id: register the program with it and put clientid= in the "
               "section [provider " +
               provider.name +
               "] of brontalnow.ini (README: Signing in with Gmail or "
               "Microsoft 365)";
    for (const std::string* url : {&provider.authUrl, &provider.tokenUrl}) {
        std::string problem = EndpointProblem(*url);
        if (!problem.empty()) return "provider " + provider.name + ": " + problem;
    }
    return {};
}

const OAuthProvider* OAuthSettings::ProviderOf(const std::string& mailbox) const {
    auto named = mailboxes.find(platform::AsciiLower(platform::TrimBlanks(mailbox)));
    if (named == mailboxes.end()) return nullptr;
    auto provider = providers.find(named->second);
    return provider == providers.end() ? nullptr : &provider->second;
}

OAuthSettings ReadOAuthSettings(const std::string& settingsPath) {
    OAuthSettings settings;
    settings.providers = BuiltInProviders();
    for (const auto& [mailbox, name] : platform::IniProfile(settingsPath, "oauth2").ReadSection()) {
        std::string key = platform::AsciiLower(name);
        if (key.empty()) continue;
        settings.mailboxes[platform::AsciiLower(mailbox)] = key;
        platform::IniProfile section(settingsPath, "provider " + name);
        OAuthProvider& provider = settings.providers[key];
        if (provider.name.empty()) provider.name = name;
        // Each key the section gives replaces the built-in value; the rest stay.
        for (const auto& [field, value] : section.ReadSection()) {
            std::string lower = platform::AsciiLower(field);
            if (lower == "authurl") provider.authUrl = value;
            if (lower == "tokenurl") provider.tokenUrl = value;
            if (lower == "clientid") provider.clientId = value;
            if (lower == "clientsecret") provider.clientSecret = value;
            if (lower == "scope") provider.scope = value;
        }
    }
    return settings;
}

} // namespace app

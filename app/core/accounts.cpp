#include "app/core/accounts.h"

#include "platform/ini_profile.h"

namespace app {

namespace {
const char* const kSection = "smtpconfig";

bool Ticked(int value) {
    return (value & 0xFF) != 0;
}
} // namespace

Account ReadSettings(const std::string& path) {
    platform::IniProfile ini(path, kSection);
    Account e;
    e.mailbox = ini.ReadString("frommail", kDefaultMailbox);
    e.usedBy = ini.ReadString("fsmail", kDefaultMailbox);
    e.host = ini.ReadString("smtphost", kDefaultSmtpHost);
    e.user = ini.ReadString("user", "kalvex");
    e.password = ini.ReadString("psw", "739104");
    e.port = ini.ReadString("port", "25");
    e.authenticate = Ticked(ini.ReadInteger("auth", 1));
    e.implicitTls = Ticked(ini.ReadInteger("ssl", 0));
    e.startTls = Ticked(ini.ReadInteger("tls", 0));
    return e;
}

RelayPolicy ReadPolicy(const std::string& path) {
    platform::IniProfile ini(path, kSection);
    RelayPolicy policy;
    policy.verifyCert = Ticked(ini.ReadInteger("verifycert", 1));
    policy.remoteClients = Ticked(ini.ReadInteger("remoteclients", 0));
    policy.tlsMinimum = ini.ReadString("tlsmin", "1.2");
    policy.retry = Ticked(ini.ReadInteger("retry", 1));
    // A value that is no positive number keeps the default: no message may expire at once,
    // and no upstream be given no session at all.
    int lifetime = ini.ReadInteger("maxlifetime", policy.maxLifetimeHours);
    if (lifetime > 0) policy.maxLifetimeHours = lifetime;
    int sessions = ini.ReadInteger("maxsessions", policy.maxSessions);
    if (sessions > 0) policy.maxSessions = sessions;
    policy.notify = Ticked(ini.ReadInteger("notify", 1));
    return policy;
}

int TlsVersionNumber(const std::string& tlsMinimum) {
    if (tlsMinimum == "1.0") return 0x0301;
    if (tlsMinimum == "1.1") return 0x0302;
    if (tlsMinimum == "1.3") return 0x0304;
    return 0x0303;
}

bool WriteSettings(const std::string& path, const Account& e, const RelayPolicy& policy) {
    platform::IniProfile ini(path, kSection);
    ini.SetMode(0600); // it holds the upstream password, whatever mode it was given
    auto flag = [](bool ticked) { return std::string(ticked ? "1" : "0"); };
    return ini.WriteStrings({{"frommail", e.mailbox},
                             {"fsmail", e.usedBy},
                             {"smtphost", e.host},
                             {"user", e.user},
                             {"psw", e.password},
                             {"port", e.port},
                             {"auth", flag(e.authenticate)},
                             {"ssl", flag(e.implicitTls)},
                             {"tls", flag(e.startTls)},
                             {"verifycert", flag(policy.verifyCert)},
                             {"remoteclients", flag(policy.remoteClients)},
                             {"tlsmin", policy.tlsMinimum},
                             {"retry", flag(policy.retry)},
                             {"maxlifetime", std::to_string(policy.maxLifetimeHours)},
                             {"maxsessions", std::to_string(policy.maxSessions)},
                             {"notify", flag(policy.notify)}});
}

std::string AccountLine(const Account& e) {
    std::string usedBy = e.usedBy.find('@') != std::string::npos ? e.usedBy : "any";
    return e.mailbox + "|" + e.host + "|" + e.port + "|" + (e.implicitTls ? "sslyes" : "sslno") +
           "|" + (e.startTls ? "tlsyes" : "tlsno") + "|" + (e.authenticate ? "authyes" : "authno") +
           "|" + e.user + "|" + e.password + "|" + usedBy;
}

void ReadAccountLine(const std::string& line, Account& e) {
    std::string rest = line;
    std::string fields[8];
    for (std::string& field : fields) {
        size_t bar = rest.find('|');
        if (bar != std::string::npos) {
            field = rest.substr(0, bar);
            rest = rest.substr(bar + 1);
        }
        if (rest.size() > 255) rest.resize(255);
    }
    e.mailbox = fields[0];
    e.host = fields[1];
    e.port = fields[2];
    e.user = fields[6];
    e.password = fields[7];
    e.implicitTls = fields[3] == "sslyes";
    e.startTls = fields[4] == "tlsyes";
    e.authenticate = fields[5] == "authyes";
    e.usedBy = rest == "any" ? std::string() : rest;
}

bool SwitchAccount(const StringList& accounts, size_t& position, Account& account) {
    if (accounts.empty()) return false;
    if (position >= accounts.size()) position = 0;
    ReadAccountLine(accounts[position], account);
    ++position;
    return true;
}

std::string FilteredSender(const std::string& sender) {
    std::string filtered;
    for (char c : sender)
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '@' || c == '_')
            filtered += c;
    return filtered;
}

namespace {
// Reads the last line naming `sender` into `account`; whether one did.
bool SelectNamed(const StringList& accounts, const std::string& sender, Account& account) {
    bool matched = false;
    for (const std::string& line : accounts)
        if (line.find("|" + sender) != std::string::npos) {
            ReadAccountLine(line, account);
            matched = true;
        }
    return matched;
}
} // namespace

bool SelectAccount(const StringList& accounts, const std::string& sender,
                   std::string& currentSender, Account& account) {
    if (accounts.empty()) return false;
    currentSender = sender;
    bool matched = SelectNamed(accounts, sender, account);
    // A line written when senders reached the relay filtered ("me+tag@x" as "metag@x").
    std::string filtered = FilteredSender(sender);
    if (!matched && !filtered.empty() && filtered != sender)
        matched = SelectNamed(accounts, filtered, account);
    if (!matched)
        for (const std::string& line : accounts)
            if (line.find("|any") != std::string::npos) ReadAccountLine(line, account);
    return true;
}

} // namespace app

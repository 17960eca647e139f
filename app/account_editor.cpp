#include "app/account_editor.h"

#include "platform/ini_profile.h"

namespace app {

namespace {
const char* const kSection = "smtpconfig";

bool Ticked(int value) {
    return (value & 0xFF) != 0;
}
} // namespace

AccountEditor ReadSettings(const std::string& path) {
    platform::IniProfile ini(path, kSection);
    AccountEditor e;
    e.Edit1 = ini.ReadString("frommail", kDefaultMailbox);
    e.Edit2 = ini.ReadString("fsmail", kDefaultMailbox);
    e.Edit5 = ini.ReadString("smtphost", kDefaultSmtpHost);
    e.Edit7 = ini.ReadString("user", "kalvex");
    e.Edit8 = ini.ReadString("psw", "739104");
    e.Edit14 = ini.ReadString("port", "25");
    e.CheckBox3 = Ticked(ini.ReadInteger("auth", 1));
    e.CheckBox4 = Ticked(ini.ReadInteger("ssl", 0));
    e.CheckBox5 = Ticked(ini.ReadInteger("tls", 0));
    return e;
}

bool WriteSettings(const std::string& path, const AccountEditor& e) {
    platform::IniProfile ini(path, kSection);
    ini.SetCreateMode(0600); // it holds the upstream password
    const std::pair<const char*, std::string> values[] = {{"frommail", e.Edit1},
                                                          {"fsmail", e.Edit2},
                                                          {"smtphost", e.Edit5},
                                                          {"user", e.Edit7},
                                                          {"psw", e.Edit8},
                                                          {"port", e.Edit14},
                                                          {"auth", e.CheckBox3 ? "1" : "0"},
                                                          {"ssl", e.CheckBox4 ? "1" : "0"},
                                                          {"tls", e.CheckBox5 ? "1" : "0"}};
    for (const auto& [key, value] : values)
        if (!ini.WriteString(key, value)) return false;
    return true;
}

std::string AccountLine(const AccountEditor& e) {
    std::string usedBy = e.Edit2.find('@') != std::string::npos ? e.Edit2 : "any";
    return e.Edit1 + "|" + e.Edit5 + "|" + e.Edit14 + "|" + (e.CheckBox4 ? "sslyes" : "sslno") +
           "|" + (e.CheckBox5 ? "tlsyes" : "tlsno") + "|" + (e.CheckBox3 ? "authyes" : "authno") +
           "|" + e.Edit7 + "|" + e.Edit8 + "|" + usedBy;
}

void ReadAccountLine(const std::string& line, AccountEditor& e) {
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
    e.Edit1 = fields[0];
    e.Edit5 = fields[1];
    e.Edit14 = fields[2];
    e.Edit7 = fields[6];
    e.Edit8 = fields[7];
    e.CheckBox4 = fields[3] == "sslyes";
    e.CheckBox5 = fields[4] == "tlsyes";
    e.CheckBox3 = fields[5] == "authyes";
    e.Edit2 = rest == "any" ? std::string() : rest;
}

bool SwitchAccount(const StringList& accounts, size_t& position, AccountEditor& editor) {
    if (accounts.empty()) return false;
    if (position >= accounts.size()) position = 0;
    ReadAccountLine(accounts[position], editor);
    ++position;
    return true;
}

bool SelectAccount(const StringList& accounts, const std::string& sender,
                   std::string& currentSender, AccountEditor& editor) {
    if (accounts.empty()) return false;
    currentSender = sender;
    bool matched = false;
    for (const std::string& line : accounts)
        if (line.find("|" + currentSender) != std::string::npos) {
            ReadAccountLine(line, editor);
            matched = true;
        }
    if (!matched)
        for (const std::string& line : accounts)
            if (line.find("|any") != std::string::npos) ReadAccountLine(line, editor);
    return true;
}

} // namespace app

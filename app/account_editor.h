// The account editor's values (the controls Edit1 ... CheckBox5), the settings that store
// them, and the account list's line format with its add, switch and select rules.
#pragma once

#include "app/string_list.h"

#include <string>

namespace app {

struct AccountEditor {
    std::string Edit1;      // sender mailbox
    std::string Edit2;      // used by (empty: any sender)
    std::string Edit5;      // SMTP host
    std::string Edit7;      // user name
    std::string Edit8;      // password
    std::string Edit14;     // port
    bool CheckBox3 = false; // authentication
    bool CheckBox4 = false; // implicit TLS
    bool CheckBox5 = false; // STARTTLS
    bool operator==(const AccountEditor&) const = default;
};

// Defaults of the settings file: a mailbox at a public provider of our own choosing.
inline constexpr const char* kDefaultMailbox = "vantro.relay@mail.example.com";
inline constexpr const char* kDefaultSmtpHost = "smtp.mail.example.com";

// Reads the nine settings of section "smtpconfig" (defaults for missing keys; a check box is
// ticked when the value's low 8 bits are not all 0).
AccountEditor ReadSettings(const std::string& path);
// Writes the nine settings in their order; false with the first key that failed.
bool WriteSettings(const std::string& path, const AccountEditor& editor);

// Nine fields joined by "|": the line "add" appends.
std::string AccountLine(const AccountEditor& editor);
// Puts a line's fields into the editor (fields 1..8 cut at "|", the rest cut to 255
// characters, field 9 whatever remains; "any" empties the used-by field).
void ReadAccountLine(const std::string& line, AccountEditor& editor);

// Switch: the line at `position` (wrapping to 0) into force; returns false for an empty list.
bool SwitchAccount(const StringList& accounts, size_t& position, AccountEditor& editor);
// Select for a sender: the last line holding "|" + sender, else the last holding "|any";
// neither: nothing changes. Empty list: returns false and `currentSender` stays.
bool SelectAccount(const StringList& accounts, const std::string& sender,
                   std::string& currentSender, AccountEditor& editor);

} // namespace app

// The relay core's files: its folder read at the start and written at the end, the archive
// of long lists, and the test send of the sample message found beside them.
#include "app/core/relay_core.h"

#include "platform/text.h"
#include "platform/text_file.h"
#include "smtpclient/smtpsender.h"
#include "store/aliases.h"
#include "store/file_location.h"

#include <ctime>

namespace app {

std::string RelayCore::OpenFiles() {
    if (!files_.Enabled()) return std::string();
    FolderContents contents = files_.Read();
    SetCredentialCommands(std::move(contents.credentials));
    LoadAccount(contents.account);
    SetPolicy(contents.policy);
    if (contents.accountList) LoadAccountList(std::move(*contents.accountList));
    if (contents.relayed) LoadRecords(ListKind::Relayed, *contents.relayed);
    if (contents.failed) LoadRecords(ListKind::Failed, *contents.failed);
    return contents.unreadableList;
}

void RelayCore::ArchiveLongLists() {
    for (ListKind kind : {ListKind::Relayed, ListKind::Failed}) {
        const RecordList& records = Records(kind);
        if (records.Count() <= RelayFiles::kListLimit) continue;
        const char* name =
            kind == ListKind::Relayed ? RelayFiles::kRelayedListName : RelayFiles::kFailedListName;
        // Emptying the list when its archive could not take it would lose its records.
        if (files_.Archive(name, records.Lines())) LoadRecords(kind, {});
    }
}

std::string RelayCore::SaveFiles() {
    if (!files_.Enabled()) return std::string();
    std::string settings;
    if (!files_.WriteSettingsFile(account_, policy_, settings)) return settings;
    // Each list is saved on its own: one that fails must not cost the others.
    files_.WriteList(RelayFiles::kRelayedListName, records_.List(ListKind::Relayed).Lines());
    files_.WriteList(RelayFiles::kFailedListName, records_.List(ListKind::Failed).Lines());
    files_.WriteList(RelayFiles::kAccountListName, accountList_);
    return std::string();
}

std::string RelayCore::SampleMessagePath() const {
    for (const std::string& path :
         store::SampleMessageCandidates(files_.Folder(), options_.programDir))
        if (platform::FileExists(path)) return path;
    return std::string();
}

std::vector<std::string> RelayCore::ResolveLocalName(const std::string& name,
                                                     std::string& answer) const {
    std::vector<std::string> notes;
    std::string problem;
    std::vector<std::string> addresses =
        store::ResolveLocalNames({name}, files_.Folder(), options_.systemAliases, notes, problem);
    for (const std::string& note : notes) options_.journal("aliases: " + note);
    if (addresses.empty())
        answer = "550 5.1.1 " + problem + "; give it an address in " +
                 store::AliasesPathOf(files_.Folder()) + " (\"" + name + ": you@example.org\")";
    return addresses;
}

void RelayCore::BeginTestSend() {
    SetStatus(RelayStatus::None);
}

std::optional<DeliveryOutcome> RelayCore::TestSend(const std::string& typedAddress) {
    std::string address = platform::TrimBlanks(platform::AsciiLower(typedAddress));
    try {
        StringList message = LoadStringList(SampleMessagePath()).value_or(StringList());
        smtpclient::TVectorLineSource lines(message);
        // A session of its own, closed after the message: the test tries the account as the
        // editor shows it now, not a session opened earlier.
        RelaySettings settings = SettingsFor(account_, SignOnName(address));
        DeliveryOutcome outcome;
        outcome.recipientText = address;
        RelayAndRecord(account_, settings, lines, outcome);
        options_.journal(JournalLine(outcome, std::time(nullptr), "test"));
        if (!outcome.relayed) lastFailureReason_ = outcome.reason;
        SetStatus(outcome.relayed ? RelayStatus::TestRelayed : RelayStatus::TestFailed);
        return outcome;
    } catch (const std::exception& e) {
        // No refusal to show: the status says an error ended it, its tooltip what it was.
        lastFailureReason_ = e.what();
        SetStatus(RelayStatus::TestError);
        return std::nullopt;
    } catch (...) {
        SetStatus(RelayStatus::TestError);
        return std::nullopt;
    }
}

} // namespace app

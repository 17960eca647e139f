// One inbound SMTP session: answers the chunks a local mail program sends and raises the
// server component's events. The unit of input is one receive chunk, not a line.
#pragma once

#include "asyncsock/async_socket_server.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace smtpserver {

class TSmtpServer;

enum class TSessionState : uint8_t { WaitHelo = 0, Command = 1, Data = 2, Closing = 3 };

class TSmtpClient : public asyncsock::TAsyncSocketClient {
  public:
    using asyncsock::TAsyncSocketClient::TAsyncSocketClient;

    TSmtpServer* SmtpServer = nullptr;
    bool LoggedIn = false;
    std::string HeloName;
    std::string CommandWord;
    TSessionState SessionState = TSessionState::WaitHelo;
    std::string MailFrom;
    std::unique_ptr<std::vector<std::string>> Recipients;

    // The data-available handler the server installs.
    void ProcessData(uint16_t error);
    // Sends a reply through the send buffer; a failure is only reported as debug text.
    void SendReply(const std::string& text);
    // Per-connection state of the message text, reset when DATA is accepted.
    void StartData();

  protected:
    void HandleMessage(const platform::Message& message) override;

  private:
    void HandleChunk(std::string chunk);
    void Dispatch(std::string&& chunk);
    void WaitHelo(const std::string& chunk);
    void Command(const std::string& chunk);
    // The commands served after HELO, by word; anything else is an unknown command.
    static const std::unordered_map<std::string, void (TSmtpClient::*)(const std::string&)>&
    CommandTable();
    void OnMail(const std::string& chunk);
    void OnVrfy(const std::string& chunk);
    void OnRcpt(const std::string& chunk);
    void OnData(const std::string& chunk);
    void OnRset(const std::string& chunk);
    void OnNoop(const std::string& chunk);
    void OnHelpCommand(const std::string& chunk);
    void OnQuitCommand(const std::string& chunk);
    void OnNotImplemented(const std::string& chunk);
    void Data(std::string&& chunk);
    // The text of a data chunk with dot-stuffing undone; sets `lastPart` at the terminator,
    // with what followed it in `rest`, and holds back a line start that could still become one.
    std::string Unstuff(const std::string& text, bool& lastPart, std::string& rest);
    // Hands a piece on; at the last one, the reply and what the client sent after the text.
    void EndData(std::string&& msg, bool lastPart, std::string&& rest);
    bool PlainText(const std::string& chunk) const;

    std::string delayedChunk_;
    bool delaying_ = false;
    // Read while a delay ran (see ProcessData); handled as one chunk after the delayed one.
    std::string inputDuringDelay_;
    // Message-text state across chunks: the last two bytes handed on (to know where lines
    // start) and bytes held back because they may begin "." CR LF or ".." at a line start.
    std::string lastTwo_ = "\r\n";
    std::string heldBack_;
};

} // namespace smtpserver

// The relay without its window: the inbound server, the slot ring, the account in force,
// the account selection at each MAIL and the deliveries. It runs on the thread that made it
// (the platform loop of that thread drives the server) and tells its owner what happened
// through hooks, which all run on that thread; a delivery worker never calls them.
#pragma once

#include "app/account_editor.h"
#include "app/delivery.h"
#include "app/delivery_pool.h"
#include "app/slot_ring.h"
#include "platform/message_loop.h"
#include "smtpserver/smtp_server.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace app {

struct RelayCoreOptions {
    std::string srvAddr = "0.0.0.0";
    std::string srvPort = "Smtp";
    int relayTimeoutMs = 30000;
    size_t workers = DeliveryPool::WorkersForDescriptorLimit();
    // Whether a peer address is this machine; unset: loopback or an interface's address.
    std::function<bool(const std::string& address)> isLocalPeer;
    // Where a delivery's journal line goes; unset: standard error.
    std::function<void(const std::string& line)> journal;
};

class RelayCore {
  public:
    struct Hooks {
        // The account in force (the window's editor); unset: the core's own copy.
        std::function<Account()> readAccount;
        // A selection changed the account in force.
        std::function<void(const Account&)> writeAccount;
        // The account list as it stands now; unset: empty.
        std::function<StringList()> accountList;
        // Status panel 6 (UTF-8).
        std::function<void(const char* text)> status;
        // A delivery was handed its message: the recipients now being sent to.
        std::function<void(const std::string& recipientText)> sending;
        // Finished deliveries, in finishing order, one batch per pass of the loop.
        std::function<void(std::vector<DeliveryOutcome>& batch)> outcomes;
    };

    explicit RelayCore(RelayCoreOptions options = {});
    // Running deliveries are not waited for; their outcomes are dropped.
    ~RelayCore();
    RelayCore(const RelayCore&) = delete;
    RelayCore& operator=(const RelayCore&) = delete;

    Hooks hooks;

    smtpserver::TSmtpServer& Server() { return *server_; }
    SlotRing& Ring() { return ring_; }
    // Resets the ring and switches the server on (throws the socket layer's exception).
    void Start();
    // What the relay trusts; read from the settings before Start.
    void SetPolicy(const RelayPolicy& policy) { policy_ = policy; }
    const RelayPolicy& Policy() const { return policy_; }

    // HELO: a peer that is not this machine is refused unless remote clients are allowed.
    void CheckPeer(asyncsock::TAsyncSocket* client, bool& shouldClose);

    // The server's three events.
    void MailFrom(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void MailTo(asyncsock::TAsyncSocket* client, const std::string& address, std::string& answer);
    void SendData(asyncsock::TAsyncSocket* client, bool lastPart, const std::string& msg);

    // The account selection for the current slot's sender (the hidden button "选择SMTP").
    void SelectAccountForCurrentSender();
    // Hands a completed message to the delivery pool with the account in force.
    void Deliver(CompletedMessage message);

    Account AccountInForce() const;
    void SetAccountInForce(const Account& account);
    const std::string& CurrentSender() const { return currentSender_; }
    const std::string& SignOn() const { return signon_; }
    // Deliveries handed over whose outcome has not been reported yet.
    size_t DeliveriesRunning() const { return running_; }
    size_t Workers() const { return pool_.MaxWorkers(); }

  private:
    void ReportOutcomes();

    RelayCoreOptions options_;
    RelayPolicy policy_;
    std::unique_ptr<smtpserver::TSmtpServer> server_;
    SlotRing ring_;
    Account account_;
    std::string currentSender_;
    std::string signon_ = "signon";
    size_t running_ = 0;
    platform::WindowHandle outcomeWindow_ = 0;
    // Outcomes of finished deliveries; shared with the workers so that a late worker never
    // writes into a freed core.
    struct OutcomeQueue {
        std::mutex mutex;
        std::vector<DeliveryOutcome> outcomes;
    };
    std::shared_ptr<OutcomeQueue> finished_ = std::make_shared<OutcomeQueue>();
    DeliveryPool pool_;
};

} // namespace app

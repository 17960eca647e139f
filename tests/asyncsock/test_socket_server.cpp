#include "asyncsock/async_socket_server.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>
#include <vector>

using namespace asyncsock;

namespace {

struct Server {
    std::unique_ptr<TAsyncSocketServer> server = std::make_unique<TAsyncSocketServer>();
    int port = testsupport::FreePort();
    std::vector<std::string> log;
    Server() {
        server->SetAddr("127.0.0.1");
        server->SetPort(std::to_string(port));
        server->OnClientConnect = [this](TCustomAsyncSocket*, TAsyncSocketClient* c, uint16_t) {
            log.push_back("connect " + c->Name());
        };
        server->OnClientDisconnect = [this](TCustomAsyncSocket*, TAsyncSocketClient* c, uint16_t) {
            log.push_back("disconnect " + c->Name() + " " + c->PeerAddr() +
                          " listed=" + (server->IsClient(c) ? "yes" : "no"));
        };
        server->Listen();
    }
    int Connect() {
        int fd = testsupport::ConnectLoopback(port);
        size_t before = log.size();
        testsupport::PumpUntil([&] { return log.size() > before; }, 1000);
        return fd;
    }
};

TEST(SocketServer, ClientsAreNamedByRunningNumberAndGreetedWithTheBanner) {
    Server s;
    int a = s.Connect();
    int b = s.Connect();
    EXPECT_EQ(testsupport::ReadLine(a, 1000), "Welcome to TcpSrv\r\n");
    EXPECT_EQ(testsupport::ReadLine(b, 1000), "Welcome to TcpSrv\r\n");
    ASSERT_EQ(s.server->ClientCount(), 2);
    EXPECT_EQ(s.server->GetClient(0)->Name(), "Client1");
    EXPECT_EQ(s.server->GetClient(1)->Name(), "Client2");
    EXPECT_EQ(s.server->GetClient(2), nullptr);
    EXPECT_EQ(s.server->GetClient(-1), nullptr);
    EXPECT_EQ(s.server->GetClient(0)->PeerAddr(), "127.0.0.1");
    testsupport::CloseFd(a);
    testsupport::CloseFd(b);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.server->ClientCount() == 0; }, 1000));
    int c = s.Connect();
    EXPECT_EQ(s.log.back(), "connect Client3");
    testsupport::CloseFd(c);
}

TEST(SocketServer, ClientOverTheLimitGetsBusyBannerAndIsCountedUntilFreed) {
    Server s;
    s.server->MaxClients = 2;
    s.server->BannerToBusy = "busy";
    // Counted from its accept until it is freed, which follows the announcement of its
    // disconnect.
    int countAtRefusal = -1;
    auto logDisconnect = s.server->OnClientDisconnect;
    s.server->OnClientDisconnect = [&](TCustomAsyncSocket* sender, TAsyncSocketClient* client,
                                       uint16_t error) {
        if (client->Name() == "Client3") countAtRefusal = s.server->ClientCount();
        logDisconnect(sender, client, error);
    };
    int a = s.Connect();
    int b = s.Connect();
    int c = s.Connect();
    std::string refused;
    EXPECT_TRUE(testsupport::WaitForClose(c, 1000, &refused));
    // With linger on/0 the close may reset before the banner is read; what arrives is it.
    EXPECT_EQ(refused, std::string("busy\r\n").substr(0, refused.size()));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.server->ClientCount() == 2; }, 1000));
    EXPECT_EQ(countAtRefusal, 3);
    EXPECT_EQ(s.log.back(), "disconnect Client3 127.0.0.1 listed=yes");
    EXPECT_EQ(testsupport::ReadLine(a, 1000), "Welcome to TcpSrv\r\n");
    testsupport::CloseFd(a);
    testsupport::CloseFd(b);
}

TEST(SocketServer, ClosedClientStaysListedDuringItsHandlerAndGoesOnTheNextPass) {
    Server s;
    s.server->Banner = ""; // nothing sent at connection start
    bool listedInHandler = false;
    s.server->OnClientCreate = [&](TCustomAsyncSocket*, TAsyncSocketClient* client) {
        client->OnSessionClosed = [&, client](TCustomAsyncSocket*, uint16_t) {
            listedInHandler = s.server->IsClient(client);
        };
    };
    int a = s.Connect();
    std::string got = testsupport::ReadUntil(
        a, [](const std::string& x) { return !x.empty(); }, 100);
    EXPECT_EQ(got, "");
    testsupport::CloseFd(a);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return listedInHandler; }, 1000));
    // Freed from the queue after OnClientDisconnect, which still sees the peer address.
    ASSERT_TRUE(testsupport::PumpUntil([&] { return s.server->ClientCount() == 0; }, 1000));
    EXPECT_EQ(s.log.back(), "disconnect Client1 127.0.0.1 listed=yes");
}

TEST(SocketServer, ClientClassAndConnectTimeOutputPrecedeTheBanner) {
    struct Custom : TAsyncSocketClient {
        using TAsyncSocketClient::TAsyncSocketClient;
    };
    Server s;
    int created = 0;
    s.server->ClientClass = [&] {
        ++created;
        return std::make_unique<Custom>();
    };
    s.server->OnClientConnect = [&](TCustomAsyncSocket*, TAsyncSocketClient* c, uint16_t) {
        EXPECT_NE(dynamic_cast<Custom*>(c), nullptr);
        c->SendText("220 hello ");
        s.log.push_back("connect");
    };
    int a = s.Connect();
    EXPECT_EQ(testsupport::ReadLine(a, 1000), "220 hello Welcome to TcpSrv\r\n");
    EXPECT_EQ(created, 1);
    testsupport::CloseFd(a);
}

TEST(SocketServer, DestroyingTheServerFreesClientsWithoutDisconnectEvents) {
    Server s;
    int a = s.Connect();
    int b = s.Connect();
    int before = TCustomAsyncSocket::ObjectCount();
    size_t logged = s.log.size();
    s.server.reset();
    EXPECT_EQ(TCustomAsyncSocket::ObjectCount(), before - 3);
    EXPECT_EQ(s.log.size(), logged);
    EXPECT_TRUE(testsupport::WaitForClose(a, 1000));
    EXPECT_TRUE(testsupport::WaitForClose(b, 1000));
    testsupport::PumpFor(30); // a queued 1054 for a freed client must be harmless
    testsupport::CloseFd(a);
    testsupport::CloseFd(b);
}

TEST(SocketServer, ClosingTheListenerLeavesClientsServed) {
    Server s;
    int a = s.Connect();
    s.server->Close();
    EXPECT_EQ(s.server->State(), TSocketState::asClosed);
    EXPECT_EQ(s.server->ClientCount(), 1);
    EXPECT_EQ(testsupport::ConnectLoopback(s.port), -1);
    EXPECT_EQ(s.server->GetClient(0)->SendText("still here\r\n"), 12);
    EXPECT_EQ(testsupport::ReadUntil(
                  a, [](const std::string& x) { return x.find("still here") != std::string::npos; },
                  1000),
              "Welcome to TcpSrv\r\nstill here\r\n");
    testsupport::CloseFd(a);
}

} // namespace

// The outgoing side of the socket and its host look-ups: the relay never calls them, but
// they are part of the component and must behave as documented if anything does.
#include "asyncsock/esocket_exception.h"
#include "asyncsock/line_socket.h"
#include "platform/wsa_numbers.h"
#include "tests/asyncsock/connected.h"
#include "tests/support/loopback.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace asyncsock;

namespace {

TEST(AsyncSocketConnect, RefusesWithoutPortOrAddressAndWhenAlreadyInUse) {
    TAsyncSocket socket;
    EXPECT_EQ(MessageOf([&] { socket.Connect(); }), "Connect: No Port Specified");
    socket.SetPort("25");
    EXPECT_EQ(MessageOf([&] { socket.Connect(); }), "Connect: No IP Address Specified");
    socket.SetAddr("no-such-host.invalid");
    EXPECT_EQ(MessageOf([&] {
                  socket.Connect();
              }).rfind("connect: AsyncSocketResolveHost: Cannot convert host address", 0),
              0u);
    EXPECT_EQ(socket.State(), TSocketState::asClosed);

    int port = 0;
    int listener = testsupport::ListenLoopback(port);
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(port));
    socket.Connect();
    EXPECT_EQ(MessageOf([&] { socket.Connect(); }), "Connect: Socket already in use");
    socket.Abort();
    testsupport::CloseFd(listener);
}

TEST(AsyncSocketConnect, ReachesAListenerAndCarriesDataBothWays) {
    int port = 0;
    int listener = testsupport::ListenLoopback(port);
    TAsyncSocket socket;
    std::vector<std::string> states;
    socket.OnChangeState = [&](TCustomAsyncSocket*, TSocketState, TSocketState now) {
        states.push_back(now == TSocketState::asOpened       ? "opened"
                         : now == TSocketState::asConnecting ? "connecting"
                         : now == TSocketState::asConnected  ? "connected"
                                                             : "other");
    };
    int connectedError = -1;
    socket.OnSessionConnected = [&](TCustomAsyncSocket*, uint16_t error) {
        connectedError = error;
    };
    std::string received;
    socket.OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) { received += s->ReceiveText(); };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(port));
    socket.SetLocalAddr("127.0.0.1");
    socket.Connect();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return connectedError != -1; }, 2000));
    EXPECT_EQ(connectedError, 0);
    EXPECT_EQ(states, (std::vector<std::string>{"opened", "connecting", "connected"}));
    EXPECT_EQ(socket.GetXAddr(), "127.0.0.1"); // the local binding was applied

    int server = testsupport::AcceptWithin(listener, 1000);
    ASSERT_GE(server, 0);
    socket.SendText("ping\r\n");
    EXPECT_EQ(testsupport::ReadUntil(
                  server,
                  [](const std::string& got) { return got.find("\r\n") != std::string::npos; },
                  2000),
              "ping\r\n");
    testsupport::SendAll(server, "pong\r\n");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return received == "pong\r\n"; }, 2000));
    socket.Close();
    testsupport::CloseFd(server);
    testsupport::CloseFd(listener);
}

TEST(AsyncSocketConnect, RefusedConnectionReportsItsErrorAndCloses) {
    int port = testsupport::FreePort(); // nobody listens there
    TAsyncSocket socket;
    int connectedError = -1;
    socket.OnSessionConnected = [&](TCustomAsyncSocket*, uint16_t error) {
        connectedError = error;
    };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(port));
    socket.Connect();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return connectedError != -1; }, 2000));
    EXPECT_EQ(connectedError, platform::kWsaECONNREFUSED);
    EXPECT_TRUE(
        testsupport::PumpUntil([&] { return socket.State() == TSocketState::asClosed; }, 1000));
}

TEST(AsyncSocketLookup, DottedAddressAnswersAtOnceANameAnswersThroughTheQueue) {
    TAsyncSocket socket;
    std::vector<int> done;
    socket.OnDnsLookupDone = [&](TCustomAsyncSocket*, uint16_t error) { done.push_back(error); };

    socket.LookupHost("127.0.0.1");
    EXPECT_EQ(done, std::vector<int>{0}); // no loop pass was needed
    EXPECT_EQ(socket.DnsResult(), "127.0.0.1");

    socket.LookupHost("localhost");
    EXPECT_EQ(done.size(), 1u); // a name is answered later, never from inside the call
    ASSERT_TRUE(testsupport::PumpUntil([&] { return done.size() == 2; }, 2000));
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(socket.DnsResult(), "127.0.0.1");
    EXPECT_FALSE(socket.DnsResultList().empty());

    socket.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return done.size() == 3; }, 2000));
    EXPECT_EQ(done[2], 0);
    EXPECT_FALSE(socket.DnsResult().empty());
}

TEST(AsyncSocketLookup, EmptyNamesRaiseThenReportInvalidAndCancelReportsInterrupted) {
    TAsyncSocket socket;
    std::vector<int> done;
    socket.OnDnsLookupDone = [&](TCustomAsyncSocket*, uint16_t error) { done.push_back(error); };
    // With OnError set the exception is replaced by the event, so the done event follows.
    int errors = 0;
    socket.OnError = [&](TCustomAsyncSocket*) { ++errors; };
    socket.LookupHost("");
    socket.ReverseDnsLookup("");
    EXPECT_EQ(errors, 2);
    EXPECT_EQ(done, (std::vector<int>{platform::kWsaEINVAL, platform::kWsaEINVAL}));

    socket.LookupHost("localhost");
    socket.CancelLookup();
    EXPECT_EQ(done.back(), platform::kWsaEINTR);
    testsupport::PumpFor(50);
    EXPECT_EQ(done.size(), 3u); // the cancelled answer is dropped when it arrives
    socket.CancelLookup();      // nothing pending: no event
    EXPECT_EQ(done.size(), 3u);
}

} // namespace

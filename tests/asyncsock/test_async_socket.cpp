#include "asyncsock/resolve.h"
#include "tests/asyncsock/connected.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace asyncsock;

namespace {

TEST(AsyncSocketResolve, ProtocolPortAndHostTexts) {
    EXPECT_EQ(AsyncSocketResolveProto("tcp"), 6);
    EXPECT_EQ(AsyncSocketResolveProto(" 17 "), 17);
    EXPECT_EQ(MessageOf([] { AsyncSocketResolveProto(""); }),
              "AsyncSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(MessageOf([] { AsyncSocketResolveProto(std::string(32, 'a')); }),
              "AsyncSocketResolveProto: Invalid Protocol.");
    EXPECT_EQ(
        MessageOf([] {
            AsyncSocketResolveProto("nosuchproto");
        }).rfind("AsyncSocketResolveProto: Cannot convert protocol 'nosuchproto', Error #", 0),
        0u);

    EXPECT_EQ(AsyncSocketResolvePort("Smtp", "tcp"), 25);
    EXPECT_EQ(AsyncSocketResolvePort("  2525abc", "tcp"), 2525);
    EXPECT_EQ(MessageOf([] { AsyncSocketResolvePort("", "tcp"); }),
              "AsyncSocketResolvePort: Invalid Port.");
    EXPECT_EQ(MessageOf([] { AsyncSocketResolvePort("25", ""); }),
              "AsyncSocketResolvePort: Invalid Proto.");
    EXPECT_EQ(MessageOf([] {
                  AsyncSocketResolvePort("nosuchservice", "tcp");
              }).rfind("AsyncSocketResolvePort: Cannot convert port 'nosuchservice', Error #", 0),
              0u);

    EXPECT_EQ(AsyncSocketResolveHost(" 127.0.0.1 ").s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(AsyncSocketResolveHost("255.255.255.255").s_addr, INADDR_NONE);
    EXPECT_EQ(AsyncSocketResolveHost("localhost").s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(MessageOf([] { AsyncSocketResolveHost(""); }),
              "AsyncSocketResolveHost: '' Invalid Hostname.");
    EXPECT_EQ(
        MessageOf([] { AsyncSocketResolveHost(std::string(257, 'a')); }).find("Invalid Hostname."),
        258u + 26u);
    EXPECT_EQ(MessageOf([] { AsyncSocketResolveHost("no-such-host.invalid"); })
                  .rfind("AsyncSocketResolveHost: Cannot convert host address "
                         "'no-such-host.invalid', Error #110",
                         0),
              0u);
}

TEST(AsyncSocketProperties, ResetValuesAndSettersRefusedUnlessClosed) {
    TAsyncSocket socket;
    EXPECT_EQ(socket.State(), TSocketState::asClosed);
    EXPECT_EQ(socket.Proto(), "tcp");
    EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(socket.LocalPort(), "0");
    EXPECT_EQ(socket.PeerAddr(), "error");
    EXPECT_EQ(socket.PeerPort(), "error");
    EXPECT_EQ(socket.LingerOnOff, TSocketLingerOnOff::asLingerOn);
    EXPECT_EQ(socket.LingerTimeout, 0);
    EXPECT_EQ(socket.FlushTimeout, 60);
    EXPECT_EQ(MessageOf([&] { socket.SetLocalAddr("1.2.3"); }),
              "SetLocalAddr(): Invalid IP address");
    socket.SetLocalAddr("");
    EXPECT_EQ(socket.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(MessageOf([&] { socket.SetSendFlags(7); }), "Invalid SendFlags");

    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(testsupport::FreePort()));
    socket.Listen();
    EXPECT_EQ(socket.State(), TSocketState::asListening);
    EXPECT_EQ(MessageOf([&] { socket.SetPort("1"); }), "Cannot change Port if not closed");
    EXPECT_EQ(MessageOf([&] { socket.SetAddr("1.1.1.1"); }), "Cannot change Addr if not closed");
    EXPECT_EQ(MessageOf([&] { socket.SetProto("udp"); }), "Cannot change Proto if not closed");
    EXPECT_EQ(MessageOf([&] { socket.SetLocalAddr("1.1.1.1"); }),
              "Cannot change LocalAddr if not closed");
    EXPECT_EQ(MessageOf([&] { socket.SetLocalPort("1"); }),
              "Cannot change LocalPort if not closed");
}

TEST(AsyncSocketListen, PortTextWithTrailingLettersBindsItsLeadingDigits) {
    int port = testsupport::FreePort();
    TAsyncSocket socket;
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(port) + "xyz");
    socket.Listen();
    EXPECT_EQ(socket.GetXPort(), std::to_string(port));
    int client = testsupport::ConnectLoopback(port);
    EXPECT_GE(client, 0);
    testsupport::CloseFd(client);
}

TEST(AsyncSocketListen, UsedPortGivesTwoLineBindErrorAndLeavesSocketClosed) {
    int port = 0;
    int holder = testsupport::ListenLoopback(port);
    std::vector<TSocketState> states; // outlives the socket, whose destruction reports too
    TAsyncSocket socket;
    socket.OnChangeState = [&](TCustomAsyncSocket*, TSocketState, TSocketState now) {
        states.push_back(now);
    };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(port));
    EXPECT_EQ(MessageOf([&] { socket.Listen(); }),
              "Error 10048 in function Bind\r\nAddress already in use");
    EXPECT_EQ(socket.State(), TSocketState::asClosed);
    EXPECT_EQ(socket.Handle(), -1);
    EXPECT_EQ(socket.LastError(), 10048);
    EXPECT_TRUE(states.empty());
    // Once the port is free the same object listens.
    testsupport::CloseFd(holder);
    socket.Listen();
    EXPECT_EQ(socket.State(), TSocketState::asListening);
}

TEST(AsyncSocketListen, AfterCloseThePortMustBeAssignedAgain) {
    TAsyncSocket socket;
    std::string port = std::to_string(testsupport::FreePort());
    socket.SetAddr("127.0.0.1");
    socket.SetPort(port);
    socket.Listen();
    socket.Close();
    EXPECT_EQ(socket.State(), TSocketState::asClosed);
    EXPECT_EQ(MessageOf([&] { socket.Listen(); }),
              "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    socket.SetPort(port);
    EXPECT_EQ(MessageOf([&] { socket.Listen(); }),
              "Error 10022 in function listen: address not assigned\r\nInvalid argument");
    socket.SetAddr("127.0.0.1");
    socket.Listen();
    EXPECT_EQ(socket.State(), TSocketState::asListening);
    TAsyncSocket bad;
    bad.SetAddr("127.0.0.1");
    bad.SetPort("nosuchservice");
    EXPECT_EQ(MessageOf([&] {
                  bad.Listen();
              }).rfind("listen: AsyncSocketResolvePort: Cannot convert port", 0),
              0u);
}

TEST(AsyncSocketErrors, OnErrorReplacesTheExceptionAndSendOnClosedSocketFails) {
    TAsyncSocket socket;
    EXPECT_EQ(MessageOf([&] { socket.SendText("x"); }),
              "Error 10057 in function Send\r\nSocket is not connected");
    int errors = 0;
    socket.OnError = [&](TCustomAsyncSocket*) { ++errors; };
    EXPECT_EQ(socket.SendText("x"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(socket.LastError(), 10057);
    EXPECT_EQ(WSocketErrorDesc(10054), "Connection reset by peer");
    EXPECT_EQ(WSocketErrorDesc(0), "No Error");
    // Its own words where the blocking layer words a number otherwise, and none for a number
    // only the blocking layer knows.
    EXPECT_EQ(WSocketErrorDesc(10038), "Socket operation on non-socket");
    EXPECT_EQ(WSocketErrorDesc(10049), "Address not available");
    EXPECT_EQ(WSocketErrorDesc(11004), "No Data");
    EXPECT_EQ(WSocketErrorDesc(10101), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(12345), "Not a WinSock error");
    EXPECT_EQ(WSocketErrorDesc(12345), "Not a WinSock error");
}

TEST(AsyncSocketEvents, PeerCloseGivesOneEmptyReadThenClosedThenStateClosed) {
    ConnectedSocket c;
    std::vector<std::string> order;
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) {
        order.push_back("data:" + std::to_string(s->ReceiveText().size()));
    };
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket* s, uint16_t error) {
        order.push_back("closed:" + std::to_string(error) + ":" +
                        (s->State() == TSocketState::asClosed ? "asClosed" : "open"));
    };
    c.ClosePeer();
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return c.socket->State() == TSocketState::asClosed; }, 1000));
    testsupport::PumpFor(30);
    EXPECT_EQ(order, (std::vector<std::string>{"data:0", "closed:0:open"}));
}

TEST(AsyncSocketEvents, DataSentBeforeTheCloseIsStillDelivered) {
    ConnectedSocket c;
    std::string got;
    bool closed = false;
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) { got += s->ReceiveText(); };
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t) { closed = true; };
    testsupport::SendAll(c.peer, std::string(100000, 'z'));
    c.ClosePeer();
    ASSERT_TRUE(testsupport::PumpUntil([&] { return closed; }, 2000));
    EXPECT_EQ(got.size(), 100000u);
    EXPECT_EQ(c.socket->ReadCount(), 0); // the reset at the end of the close
}

TEST(AsyncSocketEvents, BytesLeftUnreadByABoundedReadComeWithTheNextEvent) {
    ConnectedSocket c;
    std::string got;
    int events = 0;
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) {
        ++events;
        got += s->ReceiveTextUpTo(1000);
    };
    std::string sent;
    for (int i = 0; sent.size() < 100000; ++i) sent += std::to_string(i) + ",";
    testsupport::SendAll(c.peer, sent);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return got.size() >= sent.size(); }, 5000));
    EXPECT_TRUE(got == sent);
    EXPECT_GE(events, static_cast<int>(sent.size() / 1000));
}

TEST(AsyncSocketEvents, NoReceiveLoopRaisesExactlyOneDataEventPerNotification) {
    for (bool noLoop : {true, false}) {
        ConnectedSocket c;
        if (noLoop) c.socket->ComponentOptions = {TAsyncSocketOption::asoNoReceiveLoop};
        int calls = 0;
        c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) {
            ++calls;
            char one;
            s->Receive(&one, 1); // leaves the rest pending
        };
        testsupport::SendAll(c.peer, "abcdef");
        ASSERT_TRUE(testsupport::PumpUntil([&] { return calls > 0; }, 1000));
        if (noLoop) {
            // The pass that delivered the first event delivered only that one; every further
            // byte needs a notification of its own.
            EXPECT_EQ(calls, 1);
            EXPECT_TRUE(testsupport::PumpUntil([&] { return calls == 6; }, 1000));
            testsupport::PumpFor(30);
            EXPECT_EQ(calls, 6);
        } else {
            EXPECT_EQ(calls, 6); // the receive loop drains within the same notification
        }
    }
}

TEST(AsyncSocketEvents, ThrowingDataHandlerNeitherClosesNorReachesBgException) {
    ConnectedSocket c;
    int bg = 0, calls = 0;
    c.socket->OnBgException = [&](TCustomAsyncSocket*, const std::exception&, bool&) { ++bg; };
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) {
        ++calls;
        s->ReceiveText();
        throw std::runtime_error("handler failed");
    };
    testsupport::SendAll(c.peer, "x");
    ASSERT_TRUE(testsupport::PumpUntil([&] { return calls == 1; }, 1000));
    testsupport::PumpFor(20);
    EXPECT_EQ(bg, 0);
    EXPECT_EQ(c.socket->State(), TSocketState::asConnected);
    EXPECT_EQ(c.socket->PeerAddr(), "127.0.0.1");
}

TEST(AsyncSocketEvents, BackgroundExceptionAbortsUnlessCanCloseIsCleared) {
    for (bool keepOpen : {true, false}) {
        ConnectedSocket c;
        std::string seen;
        c.socket->OnBgException = [&](TCustomAsyncSocket*, const std::exception& e,
                                      bool& canClose) {
            seen = e.what();
            if (keepOpen) canClose = false;
        };
        platform::MessageLoop::PostMessage(c.socket->Window(), kMsgTestException, 0, 0);
        ASSERT_TRUE(testsupport::PumpUntil([&] { return !seen.empty(); }, 1000));
        EXPECT_EQ(seen, "Test exception in AsyncSocket");
        EXPECT_EQ(c.socket->State(), keepOpen ? TSocketState::asConnected : TSocketState::asClosed);
    }
}

TEST(AsyncSocketLifetime, DestroyingAConnectedSocketClosesWithoutSessionClosed) {
    int before = TCustomAsyncSocket::ObjectCount();
    ConnectedSocket c;
    EXPECT_EQ(TCustomAsyncSocket::ObjectCount(), before + 1);
    int closedEvents = 0;
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t) { ++closedEvents; };
    c.socket.reset();
    EXPECT_EQ(TCustomAsyncSocket::ObjectCount(), before);
    EXPECT_TRUE(testsupport::WaitForClose(c.peer, 1000));
    EXPECT_EQ(closedEvents, 0);
}

TEST(AsyncSocketLifetime, CloseLaterClosesFromTheQueueAndCloseIsNotifiedOnce) {
    ConnectedSocket c;
    int closedEvents = 0;
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t) { ++closedEvents; };
    c.socket->CloseLater();
    EXPECT_EQ(c.socket->State(), TSocketState::asConnected);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return c.socket->State() == TSocketState::asClosed; }, 1000));
    c.socket->Close();
    testsupport::PumpFor(20);
    EXPECT_EQ(closedEvents, 1);
    EXPECT_EQ(c.socket->PeerAddr(), "error");
    EXPECT_TRUE(testsupport::WaitForClose(c.peer, 1000));
}

TEST(AsyncSocketLifetime, ResetByPeerIsNotifiedOnceWith10054) {
    ConnectedSocket c;
    std::vector<uint16_t> errors;
    c.socket->OnDataAvailable = [&](TCustomAsyncSocket* s, uint16_t) { s->ReceiveText(); };
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t e) { errors.push_back(e); };
    testsupport::PumpFor(20);
    c.ClosePeer(true);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return c.socket->State() == TSocketState::asClosed; }, 1000));
    testsupport::PumpFor(30);
    EXPECT_EQ(errors, (std::vector<uint16_t>{10054}));
}

} // namespace

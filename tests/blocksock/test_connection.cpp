#include "blocksock/blocksock.h"
#include "tests/support/loopback.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

using namespace blocksock;
using testsupport::ExpectLine;
using testsupport::Hold;
using testsupport::Packet;
using testsupport::ScriptedPeer;

namespace {

TEST(BlockingConnection, ConnectSendAndCloseWithAnOrderlyShutdown) {
    ScriptedPeer peer({Packet("220 hello\r\n"), ExpectLine(), Packet("221 bye\r\n"), Hold(2000)});
    std::vector<TSocketStatusReason> reasons; // outlives the socket, whose destruction reports too
    TTcpBlockingSocket socket;
    socket.OnStatus = [&](TBlockingSocket*, TSocketStatusReason r, const std::string&) {
        reasons.push_back(r);
    };
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    ASSERT_EQ(socket.LastErrorCode(), 0);
    EXPECT_EQ(socket.RemoteAddressText(), "127.0.0.1");
    EXPECT_EQ(socket.RemotePortNumber(), peer.Port());
    EXPECT_EQ(socket.LocalAddressText(), "127.0.0.1");
    EXPECT_EQ(socket.ReceiveLine(2000), "220 hello");
    socket.SendText("QUIT\r\n");
    EXPECT_EQ(socket.LastErrorCode(), 0);
    EXPECT_EQ(socket.SendCounter(), 6u);
    socket.CloseConnection(); // reads and drops the 221 the peer still sends
    EXPECT_EQ(socket.Handle(), -1);
    EXPECT_EQ(socket.LastErrorCode(), 0);
    peer.Join();
    EXPECT_EQ(peer.LinesRead(), (std::vector<std::string>{"QUIT\r\n"}));
    EXPECT_EQ(reasons.front(), TSocketStatusReason::StatusResolveStart);
    EXPECT_EQ(reasons.back(), TSocketStatusReason::StatusHandleClosed);
}

TEST(BlockingConnection, ClosedPortIsRefusedAndUnknownHostIsNotFound) {
    TTcpBlockingSocket socket;
    socket.ConnectTo("127.0.0.1", std::to_string(testsupport::FreePort()));
    EXPECT_EQ(socket.LastErrorCode(), 10061);
    EXPECT_EQ(socket.LastErrorText(), "Connection refused");
    socket.CloseConnection();
    TTcpBlockingSocket other;
    other.ConnectTo("no-such-host.invalid", "25");
    // A resolver that answers says the name does not exist (11001); one that cannot be
    // reached (a machine offline) says it could not tell (11002). Either way the number and
    // its text agree.
    if (other.LastErrorCode() == 11002) {
        EXPECT_EQ(other.LastErrorText(), "Non authoritative - host not found");
    } else {
        EXPECT_EQ(other.LastErrorCode(), 11001);
        EXPECT_EQ(other.LastErrorText(), "Host not found");
    }
    EXPECT_EQ(other.Handle(), -1); // no handle for an address that never resolved
}

TEST(BlockingConnection, BindingTheWildcardOnAFreshSocketDoesNothing) {
    TTcpBlockingSocket socket;
    socket.BindLocal("0.0.0.0", "0");
    EXPECT_EQ(socket.Handle(), -1);
    EXPECT_EQ(socket.LastErrorCode(), 0);
    socket.BindLocal("127.0.0.1", "0");
    EXPECT_NE(socket.Handle(), -1);
    EXPECT_EQ(socket.LastErrorCode(), 0);
    EXPECT_EQ(socket.LocalAddressText(), "127.0.0.1");
    EXPECT_GT(socket.LocalPortNumber(), 0);
}

TEST(BlockingConnection, TlsWithoutAPluginFailsWith10091AndThePluginText) {
    ScriptedPeer peer({Hold(2000)});
    TTcpBlockingSocket socket;
    EXPECT_EQ(socket.TlsLayer().LibraryName(), "tls_none");
    EXPECT_EQ(socket.TlsLayer().LibraryVersion(), "Without SSL support");
    EXPECT_EQ(socket.TlsLayer().VerifyResult(), 1);
    EXPECT_EQ(socket.TlsLayer().PeerCommonName(), "");
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    socket.StartTlsClient();
    EXPECT_EQ(socket.LastErrorCode(), 10091);
    EXPECT_EQ(socket.LastErrorText(), "SSL/TLS support is not compiled!");
    EXPECT_EQ(socket.TlsLayer().TlsError(), -1);
    EXPECT_FALSE(socket.TlsLayer().TlsActive());
    EXPECT_EQ(GetErrorDesc(10091), "Network subsystem is unusable");
    // Plain traffic is unaffected.
    socket.SendText("still plain\r\n");
    EXPECT_EQ(socket.LastErrorCode(), 0);
}

TEST(BlockingConnection, RaiseExceptTurnsReportedErrorsIntoExceptions) {
    ScriptedPeer peer({Hold(2000)});
    TTcpBlockingSocket socket;
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    socket.RaiseExcept = true;
    try {
        socket.ReceiveLine(100);
        FAIL() << "no exception";
    } catch (const EBlockingSocketError& e) {
        EXPECT_STREQ(e.what(), "TCP/IP Socket error 10060: Connection timed out");
        EXPECT_EQ(e.ErrorCode, 10060);
        EXPECT_EQ(e.ErrorMessage, "Connection timed out");
    }
    EXPECT_EQ(socket.LastErrorCode(), 10060); // the error state stays after raising
    socket.RaiseExcept = false;
}

TEST(BlockingConnection, StopFlagAbortsTheNextTransfer) {
    ScriptedPeer peer({Packet("data\r\n"), Hold(2000)});
    TTcpBlockingSocket socket;
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    socket.StopFlag = true;
    EXPECT_EQ(socket.SendBytes("x", 1), 0);
    EXPECT_EQ(socket.LastErrorCode(), 10053);
    EXPECT_FALSE(socket.StopFlag);
    EXPECT_EQ(socket.ReceiveLine(2000), "data");
}

TEST(BlockingConnection, EmptySendLeavesTheErrorStateAsItWas) {
    TTcpBlockingSocket socket;
    socket.ConnectTo("127.0.0.1", std::to_string(testsupport::FreePort()));
    ASSERT_EQ(socket.LastErrorCode(), 10061);
    socket.SendText("");
    EXPECT_EQ(socket.LastErrorCode(), 10061);
}

TEST(BlockingConnection, LargeSendsGoOutInChunksToAReadingPeer) {
    std::string big(300000, 'b');
    ScriptedPeer peer({Hold(5000)});
    TTcpBlockingSocket socket;
    socket.SendMaxChunk = 1000;
    int sends = 0;
    socket.OnStatus = [&](TBlockingSocket*, TSocketStatusReason r, const std::string&) {
        sends += r == TSocketStatusReason::StatusBytesWritten ? 1 : 0;
    };
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    EXPECT_EQ(socket.SendBytes(big.data(), static_cast<int>(big.size())), 300000);
    EXPECT_EQ(sends, 300);
    socket.CloseConnection();
}

// A plug-in that claims a handshake and then accepts no byte: the send loop must end.
class StalledTls : public TTlsNone {
  public:
    using TTlsNone::TTlsNone;
    bool StartClient() override {
        ClearError();
        SetActive(true);
        return true;
    }
    bool CloseNotify() override {
        SetActive(false);
        return true;
    }
    int WriteData(const void*, int) override {
        ClearError();
        return 0;
    }
    int ReadData(void*, int) override {
        ClearError();
        return 0; // the peer's close alert
    }
    int PendingBytes() override { return 3; }
};

TEST(BlockingConnection, TlsSendThatMovesNothingEndsTheLoopAndCloseAlertEndsReading) {
    ScriptedPeer peer({Hold(2000)});
    TTcpBlockingSocket socket(
        [](TTcpBlockingSocket* owner) { return std::make_unique<StalledTls>(owner); });
    socket.ConnectTo("127.0.0.1", std::to_string(peer.Port()));
    socket.StartTlsClient();
    ASSERT_TRUE(socket.TlsLayer().TlsActive());
    EXPECT_EQ(socket.SendBytes("hello", 5), 0);
    EXPECT_EQ(socket.LastErrorCode(), 10054);
    EXPECT_EQ(socket.PendingBytes(), 3); // the plug-in's decrypted bytes come first
    EXPECT_EQ(socket.ReceiveLine(500), "");
    EXPECT_EQ(socket.LastErrorCode(), 10054);
}

TEST(TlsPlugin, DefaultClassIsChosenPerSocketAtConstruction) {
    TTcpBlockingSocket before;
    TTlsPluginClass saved = DefaultTlsPluginClass();
    SetDefaultTlsPluginClass(
        [](TTcpBlockingSocket* owner) { return std::make_unique<StalledTls>(owner); });
    TTcpBlockingSocket after;
    SetDefaultTlsPluginClass(saved);
    EXPECT_EQ(dynamic_cast<StalledTls*>(&before.TlsLayer()), nullptr);
    EXPECT_NE(dynamic_cast<StalledTls*>(&after.TlsLayer()), nullptr);
    EXPECT_EQ(after.TlsLayer().Owner(), &after);
}

TEST(TlsPlugin, CopySettingsLeavesSshFieldsStateAndErrorsAlone) {
    TTlsNone source(nullptr), target(nullptr);
    source.Username = "u";
    source.Password = "p";
    source.VerifyCert = true;
    source.TlsType = TTlsType::tlsTLSv1;
    source.Ciphers = "HIGH";
    source.CertificateFile = "c.pem";
    source.PFX = "pfx";
    source.SSHChannelType = "session";
    source.SSHChannelArg1 = "a1";
    target.SSHChannelArg2 = "keep";
    target.StartClient(); // leaves an error on the target
    target.CopySettingsFrom(source);
    EXPECT_EQ(target.Username, "u");
    EXPECT_EQ(target.Password, "p");
    EXPECT_TRUE(target.VerifyCert);
    EXPECT_EQ(target.TlsType, TTlsType::tlsTLSv1);
    EXPECT_EQ(target.Ciphers, "HIGH");
    EXPECT_EQ(target.CertificateFile, "c.pem");
    EXPECT_EQ(target.PFX, "pfx");
    EXPECT_EQ(target.SSHChannelType, "");
    EXPECT_EQ(target.SSHChannelArg1, "");
    EXPECT_EQ(target.SSHChannelArg2, "keep");
    EXPECT_EQ(target.TlsError(), -1);
    EXPECT_EQ(target.TlsErrorText(), "SSL/TLS support is not compiled!");
    EXPECT_EQ(target.ReadData(nullptr, 0), -1);
    EXPECT_EQ(target.WriteData(nullptr, 0), -1);
    EXPECT_EQ(target.PendingBytes(), 0);
    EXPECT_FALSE(target.MakeSelfSignedCertificate("host"));
}

TEST(SocketErrorText, TableAndUnknownNumbers) {
    EXPECT_EQ(GetErrorDesc(0), "");
    EXPECT_EQ(GetErrorDesc(10060), "Connection timed out");
    EXPECT_EQ(GetErrorDesc(10038), "Socket operation on nonsocket");
    EXPECT_EQ(GetErrorDesc(10059), "Too many references:can't splice");
    EXPECT_EQ(GetErrorDesc(10101), "Disconnect");
    EXPECT_EQ(GetErrorDesc(11004), "Valid name, no data record of requested type");
    EXPECT_EQ(GetErrorDesc(12345), "Other Winsock error (12345)");
}

} // namespace

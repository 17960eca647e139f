#include "tests/asyncsock/connected.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace asyncsock;

namespace {

TEST(TBuffer, PositionsReturnToZeroWhenEmptiedAndResizeKeepsData) {
    TBuffer b(0);
    EXPECT_EQ(b.Capacity(), 1514);
    TBuffer small(8);
    EXPECT_EQ(small.Write("0123456789", 10), 8);
    EXPECT_EQ(small.Write("x", 1), 0);
    EXPECT_EQ(small.Remove(3), 3);
    auto [p, n] = small.Peek();
    EXPECT_EQ(std::string(p, static_cast<size_t>(n)), "34567");
    EXPECT_EQ(small.Remove(100), 5);
    EXPECT_EQ(small.ReadPos(), 0);
    EXPECT_EQ(small.WritePos(), 0);
    EXPECT_EQ(small.Peek().second, 0);
    EXPECT_EQ(small.Peek().first, nullptr);
    small.Write("abc", 3);
    small.SetSize(16);
    EXPECT_EQ(small.Capacity(), 16);
    EXPECT_EQ(std::string(small.Peek().first, 3), "abc");
}

// Fills the kernel's send room so that the next Send has to queue.
void FillSendRoom(TAsyncSocket& socket) {
    int small = 4096;
    setsockopt(socket.Handle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    std::string block(65536, 'f');
    while (::send(socket.Handle(), block.data(), block.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
    }
}

TEST(SendBuffer, FourThousandBytesQueueAsThreeChunksAndGoOutInOrder) {
    ConnectedSocket c;
    int dataSent = 0;
    c.socket->OnDataSent = [&](TCustomAsyncSocket*, uint16_t) { ++dataSent; };
    testsupport::PumpFor(30);
    dataSent = 0; // the write notification after the takeover
    FillSendRoom(*c.socket);
    std::string payload;
    for (int i = 0; i < 4000; ++i) payload += static_cast<char>('a' + i % 26);
    EXPECT_EQ(c.socket->SendText(payload), 4000);
    auto chunks = c.socket->SendChunks();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0], std::make_pair(1460, 1460));
    EXPECT_EQ(chunks[1], std::make_pair(1460, 1460));
    EXPECT_EQ(chunks[2], std::make_pair(1460, 1080));
    EXPECT_FALSE(c.socket->AllSent());
    // The peer reads while the loop runs; the queued bytes follow the filler in order.
    std::string got;
    ASSERT_TRUE(testsupport::PumpUntil(
        [&] {
            char buffer[65536];
            for (ssize_t n; (n = ::recv(c.peer, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
                got.append(buffer, static_cast<size_t>(n));
            return dataSent == 1 && got.size() >= 4000 &&
                   got.compare(got.size() - 4000, 4000, payload) == 0;
        },
        3000));
    EXPECT_EQ(c.socket->SendChunks(), (std::vector<std::pair<int, int>>{{1460, 0}}));
    testsupport::PumpFor(30);
    EXPECT_EQ(dataSent, 1);
}

TEST(SendBuffer, DataSentComesFromTheLoopNeverFromInsideSend) {
    ConnectedSocket c;
    int dataSent = 0;
    testsupport::PumpFor(30);
    c.socket->OnDataSent = [&](TCustomAsyncSocket*, uint16_t) { ++dataSent; };
    EXPECT_EQ(c.socket->SendText(std::string(4000, 'q')), 4000);
    EXPECT_EQ(dataSent, 0);
    EXPECT_EQ(c.socket->SendChunks(), (std::vector<std::pair<int, int>>{{1460, 0}}));
    ASSERT_TRUE(testsupport::PumpUntil([&] { return dataSent == 1; }, 1000));
    EXPECT_EQ(testsupport::ReadUntil(
                  c.peer, [](const std::string& s) { return s.size() >= 4000; }, 1000)
                  .size(),
              4000u);
    EXPECT_EQ(c.socket->SendText(""), 0);
    testsupport::PumpFor(30);
    EXPECT_EQ(dataSent, 1);
}

TEST(SendBuffer, PeerResetWhileSendingClosesOnceWith10054) {
    ConnectedSocket c;
    std::vector<uint16_t> closes;
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t e) { closes.push_back(e); };
    c.socket->OnDataAvailable = [](TCustomAsyncSocket* s, uint16_t) { s->ReceiveText(); };
    testsupport::PumpFor(20);
    FillSendRoom(*c.socket);
    c.socket->SendText(std::string(100000, 'r')); // stays queued
    c.ClosePeer(true);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return c.socket->State() == TSocketState::asClosed; }, 2000));
    testsupport::PumpFor(30);
    EXPECT_EQ(closes, (std::vector<uint16_t>{10054}));
}

TEST(SendBuffer, PeerClosingWithDataUnreadEndsTheSessionOnce) {
    ConnectedSocket c;
    std::vector<uint16_t> closes;
    c.socket->OnSessionClosed = [&](TCustomAsyncSocket*, uint16_t e) { closes.push_back(e); };
    testsupport::PumpFor(20);
    FillSendRoom(*c.socket);
    c.socket->SendText(std::string(10000, 's'));
    // The peer shuts its receiving side with data unread: the kernel answers with a reset,
    // which the next send attempt sees.
    c.ClosePeer(false);
    ASSERT_TRUE(
        testsupport::PumpUntil([&] { return c.socket->State() == TSocketState::asClosed; }, 2000));
    ASSERT_EQ(closes.size(), 1u);
}

} // namespace

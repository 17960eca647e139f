#include "blocksock/sockapi.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace blocksock;

namespace {

TEST(Resolver, WildcardAndLoopbackNeedNoNameService) {
    SocketAddress a;
    EXPECT_EQ(BuildSocketAddress("0.0.0.0", "0", AF_INET, IPPROTO_TCP, SOCK_STREAM, true, a), 0);
    EXPECT_EQ(a.Family(), AF_INET);
    EXPECT_EQ(AddressText(a), "0.0.0.0");
    EXPECT_EQ(AddressPort(a), 0);
    EXPECT_EQ(a.Length(), 16u);
    EXPECT_EQ(BuildSocketAddress("::0", "0", AF_INET6, IPPROTO_TCP, SOCK_STREAM, true, a), 0);
    EXPECT_EQ(a.Family(), AF_INET6);
    EXPECT_EQ(AddressText(a), "::");
    EXPECT_EQ(a.Length(), 28u);
    EXPECT_EQ(BuildSocketAddress("127.0.0.1", "2525", AF_INET, IPPROTO_TCP, SOCK_STREAM, true, a),
              0);
    EXPECT_EQ(AddressText(a), "127.0.0.1");
    EXPECT_EQ(AddressPort(a), 2525);
    EXPECT_EQ(BuildSocketAddress("::1", "25", AF_INET6, IPPROTO_TCP, SOCK_STREAM, true, a), 0);
    EXPECT_EQ(AddressText(a), "::1");
}

TEST(Resolver, NamesResolveAndFailuresCarryWindowsNumbers) {
    SocketAddress a;
    EXPECT_EQ(BuildSocketAddress("localhost", "25", AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM, true, a),
              0);
    EXPECT_EQ(a.Family(), AF_INET); // prefer IPv4 on the first pass
    EXPECT_EQ(AddressText(a), "127.0.0.1");
    // 11001 where a resolver answers that the name does not exist, 11002 where none can be
    // reached (a machine offline): both are failures with the address left empty.
    int unknown = BuildSocketAddress("no-such-host.invalid", "25", AF_UNSPEC, IPPROTO_TCP,
                                     SOCK_STREAM, true, a);
    EXPECT_TRUE(unknown == 11001 || unknown == 11002) << unknown;
    EXPECT_EQ(a.Family(), 0);
    EXPECT_EQ(a.Length(), 0u);
    std::vector<std::string> list;
    ResolveHostAddresses("no-such-host.invalid", AF_INET, IPPROTO_TCP, SOCK_STREAM, list);
    EXPECT_EQ(list, (std::vector<std::string>{"0.0.0.0"}));
    ResolveHostAddresses("127.0.0.1", AF_INET6, IPPROTO_TCP, SOCK_STREAM,
                         list); // IPv4 only, IPv6 asked
    EXPECT_EQ(list, (std::vector<std::string>{"0.0.0.0"}));
    ResolveHostAddresses("127.0.0.1", AF_INET, IPPROTO_TCP, SOCK_STREAM, list);
    EXPECT_EQ(list, (std::vector<std::string>{"127.0.0.1"}));
}

TEST(Resolver, ServicePortsAndReverseNames) {
    EXPECT_EQ(ResolveServicePort("25", AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM), 25);
    EXPECT_EQ(ResolveServicePort("no-such-service", AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM), 0);
    EXPECT_EQ(ResolveAddressName("no-such-host.invalid", AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM),
              "no-such-host.invalid");
    EXPECT_FALSE(ResolveAddressName("127.0.0.1", AF_UNSPEC, IPPROTO_TCP, SOCK_STREAM).empty());
    EXPECT_FALSE(LocalHostName().empty());
    EXPECT_TRUE(UsesAddressInfo(AF_INET));
}

} // namespace

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <vector>

#include "routes/peers/tcp_table.h"

namespace kestrune::routes {
namespace {

constexpr std::uint32_t LISTEN = 2, SYN_RCVD = 4, ESTAB = 5, FIN_WAIT1 = 6, CLOSE_WAIT = 8,
                        TIME_WAIT = 11;

struct Row {
    std::uint32_t state;
    std::uint16_t local_port;
    Ipv4Address remote;
    std::uint16_t remote_port = 50000;
};

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

// Ports go into the low 16 bits in network order, as the TCP table stores them; the high
// bits are filled with junk that must be ignored.
void put_port(std::vector<std::uint8_t>& out, std::uint16_t port) {
    out.insert(out.end(),
               {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port), 0xAB, 0xCD});
}

std::vector<std::uint8_t> table(const std::vector<Row>& rows, std::uint32_t claimed_rows) {
    std::vector<std::uint8_t> out;
    put_le32(out, claimed_rows);
    for (const Row& row : rows) {
        put_le32(out, row.state);
        out.insert(out.end(), {10, 0, 0, 2});
        put_port(out, row.local_port);
        const auto& octets = row.remote.octets();
        out.insert(out.end(), octets.begin(), octets.end());
        put_port(out, row.remote_port);
    }
    return out;
}

std::vector<std::uint8_t> table(const std::vector<Row>& rows) {
    return table(rows, static_cast<std::uint32_t>(rows.size()));
}

PeerSet established(std::initializer_list<IpAddress> addresses) {
    PeerSet peers;
    for (const IpAddress address : addresses) {
        peers.emplace(address, PeerState::established);
    }
    return peers;
}

TEST(RdpPeersInTable, KeepsInboundRdpConnectionsFromPublicAndPrivateAddresses) {
    const auto bytes = table({
        {ESTAB, 3389, {5, 6, 7, 8}},
        {ESTAB, 3389, {203, 0, 113, 9}}, // documentation range
        {SYN_RCVD, 3389, {9, 9, 9, 9}},
        {LISTEN, 3389, {4, 4, 4, 4}},
        {FIN_WAIT1, 3389, {6, 6, 6, 6}},
        {CLOSE_WAIT, 3389, {7, 7, 7, 7}},
        {TIME_WAIT, 3389, {8, 8, 8, 8}},
        {12, 3389, {8, 8, 4, 4}}, // DELETE_TCB
        {ESTAB, 3390, {11, 1, 1, 1}},
        {ESTAB, 51000, {12, 1, 1, 1}, 3389}, // our own outgoing RDP connection
        {ESTAB, 3389, {10, 1, 1, 1}},
        {ESTAB, 3389, {1, 2, 3, 4}},
    });
    EXPECT_EQ(rdp_peers_in_table(bytes), (PeerSet{{{1, 2, 3, 4}, PeerState::established},
                                                  {{5, 6, 7, 8}, PeerState::established},
                                                  {{9, 9, 9, 9}, PeerState::half_open},
                                                  {{10, 1, 1, 1}, PeerState::established}}));
}

TEST(RdpPeersInTable, DuplicateAddressesGiveOneElementEstablishedIfAnyRowIs) {
    const auto bytes = table({{SYN_RCVD, 3389, {5, 6, 7, 8}, 50001},
                              {ESTAB, 3389, {5, 6, 7, 8}, 50002},
                              {SYN_RCVD, 3389, {5, 6, 7, 8}, 50003},
                              {SYN_RCVD, 3389, {9, 9, 9, 9}, 50001},
                              {SYN_RCVD, 3389, {9, 9, 9, 9}, 50002}});
    EXPECT_EQ(rdp_peers_in_table(bytes), (PeerSet{{{5, 6, 7, 8}, PeerState::established},
                                                  {{9, 9, 9, 9}, PeerState::half_open}}));
}

TEST(RdpPeersInTable, ReadsNoFurtherThanTheBuffer) {
    auto bytes = table({{ESTAB, 3389, {5, 6, 7, 8}}, {ESTAB, 3389, {9, 9, 9, 9}}}, 1000);
    EXPECT_EQ(rdp_peers_in_table(bytes), established({{5, 6, 7, 8}, {9, 9, 9, 9}}));
    // A partial third row at the end is not a row.
    bytes.insert(bytes.end(), {ESTAB, 0, 0, 0, 0, 0, 0, 0, 0x0D, 0x3D, 0, 0, 1, 1, 1, 1});
    EXPECT_EQ(rdp_peers_in_table(bytes), established({{5, 6, 7, 8}, {9, 9, 9, 9}}));
    // Fewer rows claimed than present: only those are read.
    const auto fewer = table({{ESTAB, 3389, {5, 6, 7, 8}}, {ESTAB, 3389, {9, 9, 9, 9}}}, 1);
    EXPECT_EQ(rdp_peers_in_table(fewer), established({{5, 6, 7, 8}}));
}

// A scripted GetExtendedTcpTable: the size it reports, the codes it returns, and what the
// second call writes.
struct FakeTcpTable {
    std::uint32_t reported_size = 0;
    std::uint32_t sizing_code = 122;
    std::uint32_t fill_code = 0;
    std::vector<std::uint32_t> growth; // a fill call for each: 122 and this size needed now
    std::vector<std::uint8_t> contents;
    std::vector<std::uint32_t> sizes_passed;
    int calls = 0;

    TcpTableCall call() {
        return [this](void* buffer, std::uint32_t* size) -> std::uint32_t {
            ++calls;
            sizes_passed.push_back(*size);
            if (buffer == nullptr) {
                *size = reported_size;
                return sizing_code;
            }
            if (!growth.empty()) {
                *size = growth.front();
                growth.erase(growth.begin());
                return 122;
            }
            if (!contents.empty()) {
                std::memcpy(buffer, contents.data(), std::min<std::size_t>(*size, contents.size()));
            }
            return fill_code;
        };
    }
};

TEST(RdpPeersInTable, CountsPort3389AndTheConfiguredPortOnly) {
    const auto bytes = table({
        {ESTAB, 3389, {1, 1, 1, 1}},
        {SYN_RCVD, 3390, {2, 2, 2, 2}},
        {ESTAB, 3391, {3, 3, 3, 3}},
        {ESTAB, 51000, {4, 4, 4, 4}, 3390}, // outgoing to another machine's 3390
        {ESTAB, 0x3E0D, {5, 5, 5, 5}},      // 3390 with its bytes swapped
    });
    using Addresses = std::set<IpAddress>;
    const auto addresses = [](const PeerSet& peers) {
        Addresses keys;
        for (const auto& [address, state] : peers) {
            keys.insert(address);
        }
        return keys;
    };
    EXPECT_EQ(addresses(rdp_peers_in_table(bytes)), (Addresses{{1, 1, 1, 1}}));
    EXPECT_EQ(addresses(rdp_peers_in_table(bytes, RdpPorts{3389})), (Addresses{{1, 1, 1, 1}}));
    EXPECT_EQ(addresses(rdp_peers_in_table(bytes, RdpPorts{3390})),
              (Addresses{{1, 1, 1, 1}, {2, 2, 2, 2}}));
    EXPECT_EQ(addresses(rdp_peers_in_table(bytes, RdpPorts{0x3E0D})),
              (Addresses{{1, 1, 1, 1}, {5, 5, 5, 5}}));
    FakeTcpTable fake; // the whole read passes the ports on
    fake.contents = bytes;
    fake.reported_size = static_cast<std::uint32_t>(bytes.size());
    EXPECT_EQ(addresses(*read_rdp_peers(fake.call(), RdpPorts{3390})),
              (Addresses{{1, 1, 1, 1}, {2, 2, 2, 2}}));
}

TEST(ReadRdpPeers, SizesThenFillsABufferOfExactlyTheReportedSize) {
    FakeTcpTable fake;
    fake.contents = table({{ESTAB, 3389, {5, 6, 7, 8}}});
    fake.reported_size = static_cast<std::uint32_t>(fake.contents.size());
    for (const std::uint32_t sizing_code : {0u, 122u}) {
        fake.sizing_code = sizing_code;
        fake.sizes_passed.clear();
        const auto peers = read_rdp_peers(fake.call());
        ASSERT_TRUE(peers) << peers.error();
        EXPECT_EQ(*peers, established({{5, 6, 7, 8}}));
        EXPECT_EQ(fake.sizes_passed, (std::vector<std::uint32_t>{0, fake.reported_size}));
    }
}

TEST(ReadRdpPeers, ReportedSizeBelowFourIsAnEmptyTableWithoutASecondCall) {
    for (const std::uint32_t size : {0u, 3u}) {
        FakeTcpTable fake;
        fake.reported_size = size;
        const auto peers = read_rdp_peers(fake.call());
        ASSERT_TRUE(peers) << peers.error();
        EXPECT_TRUE(peers->empty());
        EXPECT_EQ(fake.calls, 1);
    }
}

TEST(ReadRdpPeers, RowCountIsLimitedByTheSizingResult) {
    FakeTcpTable fake;
    fake.contents = table({{ESTAB, 3389, {5, 6, 7, 8}}, {ESTAB, 3389, {9, 9, 9, 9}}}, 2);
    fake.reported_size = 4 + 20 + 10; // room for one row and a fragment
    const auto peers = read_rdp_peers(fake.call());
    ASSERT_TRUE(peers) << peers.error();
    EXPECT_EQ(*peers, established({{5, 6, 7, 8}}));
}

TEST(ReadRdpPeers, FailuresCarryTheBareCode) {
    FakeTcpTable sizing;
    sizing.sizing_code = 87;
    const auto sizing_failed = read_rdp_peers(sizing.call());
    ASSERT_FALSE(sizing_failed);
    EXPECT_EQ(sizing_failed.error(), "GetExtendedTcpTable sizing failed: 87");
    EXPECT_EQ(sizing.calls, 1);

    FakeTcpTable refused;
    refused.reported_size = 100;
    refused.fill_code = 87;
    const auto fill_failed = read_rdp_peers(refused.call());
    ASSERT_FALSE(fill_failed);
    EXPECT_EQ(fill_failed.error(), "GetExtendedTcpTable failed: 87");
    EXPECT_EQ(refused.calls, 2);

    FakeTcpTable huge;
    huge.sizing_code = 0xC0000017;
    EXPECT_EQ(read_rdp_peers(huge.call()).error(), "GetExtendedTcpTable sizing failed: 3221225495");
}

TEST(ReadRdpPeers, TableThatGrowsIsReadAgainWithTheNewSizeUpToThreeTimes) {
    FakeTcpTable fake;
    fake.contents = table({{ESTAB, 3389, {5, 6, 7, 8}}, {ESTAB, 3389, {9, 9, 9, 9}}});
    const auto full = static_cast<std::uint32_t>(fake.contents.size());
    fake.reported_size = 4 + 20;
    fake.growth = {full - 10, full};
    const auto peers = read_rdp_peers(fake.call());
    ASSERT_TRUE(peers) << peers.error();
    EXPECT_EQ(*peers, established({{5, 6, 7, 8}, {9, 9, 9, 9}}));
    EXPECT_EQ(fake.sizes_passed,
              (std::vector<std::uint32_t>{0, 4 + 20, grown_table_buffer(full - 10),
                                          grown_table_buffer(full)}));

    FakeTcpTable busy; // still growing at the third retry: this pass fails
    busy.reported_size = 100;
    busy.growth = {200, 300, 400, 500};
    const auto failed = read_rdp_peers(busy.call());
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "GetExtendedTcpTable failed: 122");
    EXPECT_EQ(busy.sizes_passed,
              (std::vector<std::uint32_t>{0, 100, grown_table_buffer(200), grown_table_buffer(300),
                                          grown_table_buffer(400)}));
}

// MIB_TCP6ROW rows: a global peer, a dual-stack listener's IPv4 client (the IPv4 peer), and
// rows that never count; scope ids are junk to ignore.
TEST(RdpPeersInTable, Ipv6TableWithMappedIpv4Peers) {
    const auto row6 = [](std::vector<std::uint8_t>& out, std::uint32_t state, std::uint16_t port,
                         Ipv6Address::Bytes remote) {
        put_le32(out, state);
        out.insert(out.end(), 16, 0x20); // local address
        put_le32(out, 0xFFFFFFFF);       // local scope id, as Wine has it
        put_port(out, port);
        out.insert(out.end(), remote.begin(), remote.end());
        put_le32(out, 0xFFFFFFFF);
        put_port(out, 50000);
    };
    const Ipv6Address::Bytes global{0x2a, 0x02, 0x79, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const Ipv6Address::Bytes mapped{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 5, 6, 7, 8};
    const Ipv6Address::Bytes link_local{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::vector<std::uint8_t> contents;
    put_le32(contents, 6);
    row6(contents, SYN_RCVD, 3389, global);
    row6(contents, ESTAB, 3389, mapped);
    row6(contents, ESTAB, 3389, link_local);
    row6(contents, LISTEN, 3389, global);
    row6(contents, ESTAB, 3390, global);
    row6(contents, ESTAB, 3389, global);
    EXPECT_EQ(rdp_peers_in_table(contents, {}, TcpTableFamily::ipv6),
              (PeerSet{{IpAddress(5, 6, 7, 8), PeerState::established},
                       {Ipv6Address(global), PeerState::established}}));
    contents.resize(contents.size() - 52); // the last row cut off: the buffer ends first
    EXPECT_EQ(rdp_peers_in_table(contents, {}, TcpTableFamily::ipv6),
              (PeerSet{{IpAddress(5, 6, 7, 8), PeerState::established},
                       {Ipv6Address(global), PeerState::half_open}}));

    FakeTcpTable refused; // its errors name the table
    refused.reported_size = 100;
    refused.fill_code = 50;
    EXPECT_EQ(read_rdp_peers(refused.call(), {}, TcpTableFamily::ipv6).error(),
              "GetTcp6Table failed: 50");
}

TEST(RdpPortFromRegistry, OnlyADwordFromOneTo65535NamesAPort) {
    constexpr std::uint32_t REG_SZ = 1, REG_DWORD = 4, REG_DWORD_BIG_ENDIAN = 5;
    const struct {
        std::uint32_t type;
        std::vector<std::uint8_t> data;
        std::uint16_t port;
    } cases[] = {{REG_DWORD, {0x3E, 0x0D, 0, 0}, 3390},
                 {REG_DWORD, {1, 0, 0, 0}, 1},
                 {REG_DWORD, {0xFF, 0xFF, 0, 0}, 65535},
                 {REG_DWORD, {0, 0, 0, 0}, 3389},
                 {REG_DWORD, {0, 0, 1, 0}, 3389},
                 {REG_DWORD, {0x3E, 0x0D, 0}, 3389},
                 {REG_DWORD, {0x3E, 0x0D, 0, 0, 0, 0, 0, 0}, 3389},
                 {REG_DWORD_BIG_ENDIAN, {0, 0, 0x0D, 0x3E}, 3389},
                 {REG_SZ, {'3', 0, '3', 0}, 3389}};
    for (const auto& c : cases) {
        EXPECT_EQ(rdp_port_from_registry(c.type, c.data), c.port)
            << "type " << c.type << ", " << c.data.size() << " bytes";
    }
}

} // namespace
} // namespace kestrune::routes

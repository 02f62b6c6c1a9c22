#include <gtest/gtest.h>

#include <set>

#include "routes/addresses/ipv4_address.h"
#include "routes/addresses/public_address.h"

namespace kestrune::routes {
namespace {

TEST(Ipv4Address, ShowsDottedDecimalWithoutLeadingZeros) {
    EXPECT_EQ(Ipv4Address(0, 0, 0, 0).to_string(), "0.0.0.0");
    EXPECT_EQ(Ipv4Address(198, 51, 100, 20).to_string(), "198.51.100.20");
    EXPECT_EQ(Ipv4Address(255, 255, 255, 255).to_string(), "255.255.255.255");
    EXPECT_EQ(Ipv4Address(10, 0, 7, 1).to_string(), "10.0.7.1");
}

TEST(Ipv4Address, TableFieldBytesAreTheOctetsInOrder) {
    const std::uint8_t bytes[4] = {5, 6, 7, 8};
    std::uint32_t stored = 0;
    std::memcpy(&stored, bytes, sizeof(stored));
    const auto address = Ipv4Address::from_network_order(stored);
    EXPECT_EQ(address, Ipv4Address(5, 6, 7, 8));
    EXPECT_EQ(address.network_order(), stored);
    EXPECT_EQ(Ipv4Address(8, 8, 8, 8).network_order(), 0x08080808u);
}

TEST(Ipv4Address, OrdersAsBigEndianNumbers) {
    const std::set<Ipv4Address> sorted = {
        {10, 0, 1, 1}, {10, 0, 0, 2}, {9, 255, 255, 255}, {10, 0, 0, 0}, {1, 2, 3, 200}};
    const std::vector<std::string> expected = {"1.2.3.200", "9.255.255.255", "10.0.0.0", "10.0.0.2",
                                               "10.0.1.1"};
    std::vector<std::string> actual;
    for (const auto& address : sorted) {
        actual.push_back(address.to_string());
    }
    EXPECT_EQ(actual, expected);
}

struct FilterCase {
    Ipv4Address address;
    bool is_public;
};

class PublicFilter : public testing::TestWithParam<FilterCase> {};

TEST_P(PublicFilter, Boundaries) {
    EXPECT_EQ(is_public_ipv4(GetParam().address), GetParam().is_public)
        << GetParam().address.to_string();
    EXPECT_EQ(address_kind(GetParam().address) == AddressKind::global, GetParam().is_public);
}

// Each excluded range with the addresses just inside and just outside its edges.
INSTANTIATE_TEST_SUITE_P(
    Ranges, PublicFilter,
    testing::Values(FilterCase{{0, 0, 0, 0}, false}, FilterCase{{0, 0, 0, 1}, false},
                    FilterCase{{0, 1, 2, 3}, false}, FilterCase{{1, 0, 0, 0}, true},
                    FilterCase{{5, 6, 7, 8}, true},
                    // 10.0.0.0/8
                    FilterCase{{9, 255, 255, 255}, true}, FilterCase{{10, 0, 0, 0}, false},
                    FilterCase{{10, 255, 255, 255}, false}, FilterCase{{11, 0, 0, 0}, true},
                    // 100.64.0.0/10
                    FilterCase{{100, 63, 255, 255}, true}, FilterCase{{100, 64, 0, 0}, false},
                    FilterCase{{100, 127, 255, 255}, false}, FilterCase{{100, 128, 0, 1}, true},
                    // 127.0.0.0/8
                    FilterCase{{126, 255, 255, 255}, true}, FilterCase{{127, 0, 0, 1}, false},
                    FilterCase{{127, 255, 255, 255}, false}, FilterCase{{128, 0, 0, 0}, true},
                    // 169.254.0.0/16
                    FilterCase{{169, 253, 255, 255}, true}, FilterCase{{169, 254, 0, 0}, false},
                    FilterCase{{169, 254, 255, 255}, false}, FilterCase{{169, 255, 0, 0}, true},
                    // 172.16.0.0/12
                    FilterCase{{172, 15, 255, 255}, true}, FilterCase{{172, 16, 0, 0}, false},
                    FilterCase{{172, 31, 255, 255}, false}, FilterCase{{172, 32, 0, 1}, true},
                    // 192.0.0.0/24 and 192.0.2.0/24, with 192.0.1.0/24 between them public
                    FilterCase{{191, 255, 255, 255}, true}, FilterCase{{192, 0, 0, 0}, false},
                    FilterCase{{192, 0, 0, 9}, false}, FilterCase{{192, 0, 0, 255}, false},
                    FilterCase{{192, 0, 1, 0}, true}, FilterCase{{192, 0, 1, 255}, true},
                    FilterCase{{192, 0, 2, 0}, false}, FilterCase{{192, 0, 2, 255}, false},
                    FilterCase{{192, 0, 3, 0}, true},
                    // 192.168.0.0/16
                    FilterCase{{192, 167, 255, 255}, true}, FilterCase{{192, 168, 0, 0}, false},
                    FilterCase{{192, 168, 255, 255}, false}, FilterCase{{192, 169, 0, 0}, true},
                    // 198.18.0.0/15
                    FilterCase{{198, 17, 255, 255}, true}, FilterCase{{198, 18, 0, 0}, false},
                    FilterCase{{198, 19, 255, 255}, false}, FilterCase{{198, 20, 0, 0}, true},
                    // 198.51.100.0/24
                    FilterCase{{198, 51, 99, 255}, true}, FilterCase{{198, 51, 100, 0}, false},
                    FilterCase{{198, 51, 100, 255}, false}, FilterCase{{198, 51, 101, 0}, true},
                    // 203.0.113.0/24
                    FilterCase{{203, 0, 112, 255}, true}, FilterCase{{203, 0, 113, 0}, false},
                    FilterCase{{203, 0, 113, 255}, false}, FilterCase{{203, 0, 114, 0}, true},
                    // 224.0.0.0/4 and 240.0.0.0/4 up to the broadcast address
                    FilterCase{{223, 255, 255, 255}, true}, FilterCase{{224, 0, 0, 0}, false},
                    FilterCase{{239, 255, 255, 255}, false}, FilterCase{{240, 0, 0, 0}, false},
                    FilterCase{{255, 255, 255, 255}, false}));

// Of the addresses that are not public, the private-use ones may still get a route (when only
// the default route leads to them); the special-purpose ones never.
TEST(AddressKind, PrivateUseRangesAndSpecialOnes) {
    const Ipv4Address private_use[] = {
        {10, 0, 0, 0},    {10, 255, 255, 255},  {172, 16, 0, 0}, {172, 31, 255, 255},
        {192, 168, 0, 0}, {192, 168, 255, 255}, {100, 64, 0, 0}, {100, 127, 255, 255}};
    const Ipv4Address special[] = {{0, 255, 255, 255}, {127, 0, 0, 1},       {169, 254, 1, 1},
                                   {224, 0, 0, 1},     {255, 255, 255, 255}, {203, 0, 113, 1},
                                   {198, 18, 0, 1}};
    for (const Ipv4Address address : private_use) {
        EXPECT_EQ(address_kind(address), AddressKind::private_use) << address.to_string();
    }
    for (const Ipv4Address address : special) {
        EXPECT_EQ(address_kind(address), AddressKind::special) << address.to_string();
    }
}

} // namespace
} // namespace kestrune::routes

namespace kestrune::routes {
namespace {

Ipv6Address v6(std::array<std::uint16_t, 8> groups) {
    Ipv6Address::Bytes bytes{};
    for (std::size_t i = 0; i < groups.size(); ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(groups[i]);
    }
    return Ipv6Address(bytes);
}

// RFC 5952 section 4: lower case, no leading zeros, the longest zero run (the first of equal
// ones, never a single group) as "::".
TEST(Ipv6Address, CanonicalText) {
    EXPECT_EQ(v6({}).to_string(), "::");
    EXPECT_EQ(v6({0, 0, 0, 0, 0, 0, 0, 1}).to_string(), "::1");
    EXPECT_EQ(v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}).to_string(), "2001:db8::1");
    EXPECT_EQ(v6({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}).to_string(), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(v6({0x2001, 0, 0, 1, 0, 0, 0, 1}).to_string(), "2001:0:0:1::1");
    EXPECT_EQ(v6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}).to_string(), "2001:db8::1:0:0:1");
    EXPECT_EQ(v6({0xfe80, 0, 0, 0, 0xABCD, 0, 0, 0}).to_string(), "fe80::abcd:0:0:0");
    EXPECT_EQ(v6({1, 0, 0, 0, 0, 0, 0, 0}).to_string(), "1::");
    EXPECT_EQ(Ipv6Address::from_hex("2a0279100000000000000000000000FF")->to_string(),
              "2a02:7910::ff");
    EXPECT_FALSE(Ipv6Address::from_hex("2a02"));
    EXPECT_FALSE(Ipv6Address::from_hex("2a027910000000000000000000000g00"));
    // Either family orders and prints through IpAddress, IPv4 first.
    EXPECT_LT(IpAddress(255, 255, 255, 255), IpAddress(v6({})));
    EXPECT_EQ(IpAddress(v6({0, 0, 0, 0, 0, 0xffff, 0x0506, 0x0708})).to_string(), "::ffff:506:708");
    EXPECT_EQ(v6({0, 0, 0, 0, 0, 0xffff, 0x0506, 0x0708}).mapped_ipv4(), Ipv4Address(5, 6, 7, 8));
}

TEST(AddressKind, Ipv6Classes) {
    const std::pair<Ipv6Address, AddressKind> cases[] = {
        {v6({0x2a02, 0x7910, 0, 0, 0, 0, 0, 1}), AddressKind::global},
        {v6({0x2000, 0, 0, 0, 0, 0, 0, 0}), AddressKind::global},
        {v6({0x3ffe, 0xffff, 0, 0, 0, 0, 0, 1}), AddressKind::global},
        {v6({0x2001, 0x200, 0, 0, 0, 0, 0, 1}), AddressKind::global}, // just past 2001::/23
        {v6({0x64, 0xff9b, 0, 0, 0, 0, 0x0506, 0x0708}), AddressKind::global},
        {v6({0xfc00, 0, 0, 0, 0, 0, 0, 1}), AddressKind::private_use},
        {v6({0xfdff, 0xffff, 0, 0, 0, 0, 0, 1}), AddressKind::private_use},
        {v6({}), AddressKind::special},
        {v6({0, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0, 0, 0, 0, 0, 0xffff, 0x0506, 0x0708}), AddressKind::special},
        {v6({0x64, 0xff9b, 1, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x100, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x2001, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special}, // Teredo
        {v6({0x2001, 0x1ff, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x2002, 0x0506, 0x0708, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x3fff, 0x0fff, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0x3fff, 0x1000, 0, 0, 0, 0, 0, 1}), AddressKind::global},
        {v6({0x5f00, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0xfec0, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
        {v6({0xff02, 0, 0, 0, 0, 0, 0, 1}), AddressKind::special},
    };
    for (const auto& [address, kind] : cases) {
        EXPECT_EQ(address_kind(address), kind) << address.to_string();
    }
}

} // namespace
} // namespace kestrune::routes

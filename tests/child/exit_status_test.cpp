#include "child/exit_status.h"

#include <gtest/gtest.h>

namespace kestrune::child {
namespace {

TEST(ExitStatus, DecimalBelowBit31HexWithoutLeadingZerosAbove) {
    const struct {
        std::uint32_t code;
        const char* text;
    } cases[] = {
        {0, "exit code: 0"},
        {1, "exit code: 1"},
        {259, "exit code: 259"},
        {0x7FFFFFFF, "exit code: 2147483647"},
        {0x80000000, "exit code: 0x80000000"},
        {0xC0000005, "exit code: 0xc0000005"},
        {0xC000013A, "exit code: 0xc000013a"},
        {0xFFFFFFFF, "exit code: 0xffffffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ExitStatus{c.code}.text(), c.text) << c.code;
    }
}

} // namespace
} // namespace kestrune::child

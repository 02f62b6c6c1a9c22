#include "logging/rename_flags.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrune::logging {
namespace {

struct ScriptedRename {
    std::vector<std::uint32_t> codes; // returned in turn
    std::vector<std::uint32_t> flags_passed;
    std::uint32_t operator()(std::uint32_t flags) {
        flags_passed.push_back(flags);
        return codes.at(flags_passed.size() - 1);
    }
};

TEST(RenameFlags, IgnoreReadOnlyFirstThenWithoutItOnlyWhenTheFlagsAreRejected) {
    ScriptedRename done{{0}, {}};
    EXPECT_EQ(rename_ignoring_read_only(done), 0u);
    EXPECT_EQ(done.flags_passed, (std::vector<std::uint32_t>{0x43}));

    ScriptedRename denied{{5}, {}};
    EXPECT_EQ(rename_ignoring_read_only(denied), 5u);
    EXPECT_EQ(denied.flags_passed, (std::vector<std::uint32_t>{0x43}));

    ScriptedRename older_system{{87, 0}, {}};
    EXPECT_EQ(rename_ignoring_read_only(older_system), 0u);
    EXPECT_EQ(older_system.flags_passed, (std::vector<std::uint32_t>{0x43, 0x3}));

    ScriptedRename no_ex_class{{87, 87}, {}}; // what Wine 8 answers
    EXPECT_EQ(rename_ignoring_read_only(no_ex_class), 87u);
    EXPECT_EQ(no_ex_class.flags_passed, (std::vector<std::uint32_t>{0x43, 0x3}));
}

} // namespace
} // namespace kestrune::logging

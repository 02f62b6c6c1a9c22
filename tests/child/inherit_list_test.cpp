#include "child/inherit_list.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kestrune::child {
namespace {

void* handle(std::intptr_t value) {
    return reinterpret_cast<void*>(value);
}

TEST(HandlesToInherit, EachHandleOnceInOrderWithoutNullOrInvalid) {
    void* const null_device = handle(0x40);
    void* const pipe = handle(0x44);
    // Standard output and error on one handle, as callers may pass them.
    EXPECT_EQ(handles_to_inherit({null_device, pipe, pipe}),
              (std::vector<void*>{null_device, pipe}));
    EXPECT_EQ(handles_to_inherit({pipe, null_device, pipe}),
              (std::vector<void*>{pipe, null_device}));
    EXPECT_EQ(handles_to_inherit({nullptr, handle(-1), pipe}), (std::vector<void*>{pipe}));
    EXPECT_EQ(handles_to_inherit({null_device, handle(0x48), pipe}),
              (std::vector<void*>{null_device, handle(0x48), pipe}));
}

} // namespace
} // namespace kestrune::child

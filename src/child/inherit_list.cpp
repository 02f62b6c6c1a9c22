#include "child/inherit_list.h"

#include <algorithm>
#include <cstdint>

namespace kestrune::child {

std::vector<void*> handles_to_inherit(std::initializer_list<void*> handles) {
    void* const invalid = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
    std::vector<void*> list;
    for (void* handle : handles) {
        if (handle != nullptr && handle != invalid &&
            std::find(list.begin(), list.end(), handle) == list.end()) {
            list.push_back(handle);
        }
    }
    return list;
}

} // namespace kestrune::child

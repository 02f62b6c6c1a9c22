#include "child/process_lock.h"

namespace kestrune::child {

std::mutex& process_creation_lock() {
    static std::mutex lock;
    return lock;
}

} // namespace kestrune::child

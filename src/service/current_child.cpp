#include "service/current_child.h"

namespace kestrune::service {

namespace {
constinit LazyChildSlot<child::SingBoxChild> process_child_slot;
} // namespace

CurrentChild& current_child() {
    return process_child_slot.get_or_create();
}

CurrentChild* current_child_if_created() {
    return process_child_slot.existing();
}

const LazyChildSlot<child::SingBoxChild>& current_child_holder() {
    return process_child_slot;
}

} // namespace kestrune::service

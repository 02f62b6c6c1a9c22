#pragma once
// The process's slot for the supervised sing-box child.

#include "child/sing_box_child.h"
#include "service/child_slot.h"

namespace kestrune::service {

using CurrentChild = ChildSlot<child::SingBoxChild>;

// The service main's first use creates the slot (before it stores the first child).
CurrentChild& current_child();

// Null until the slot exists; never creates it. For the control handler.
CurrentChild* current_child_if_created();

// The lazy holder itself, for the handler's decision logic.
const LazyChildSlot<child::SingBoxChild>& current_child_holder();

} // namespace kestrune::service

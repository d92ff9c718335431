#pragma once

#include <utility>

namespace platform {

// Stores the value when it differs from the field's and says whether it did: a change-only
// setter returns early on false and announces the change on true.
template <class Field, class Value>
bool assignIfChanged(Field& field, Value&& value) {
    if (field == value) {
        return false;
    }
    field = std::forward<Value>(value);
    return true;
}

}  // namespace platform

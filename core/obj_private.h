// For the tests only: allocation failures on demand.
#pragma once

#include "core/obj.h"

#include <cstdint>

// Asked by obj_alloc before each allocation, with its arguments; true makes that allocation
// fail as when memory runs out. Null removes it. Returns the previous one.
using obj_alloc_fail_fn = bool (*)(int32_t size, obj_destroy_fn destroy);
obj_alloc_fail_fn obj_set_alloc_fail(obj_alloc_fail_fn fn);

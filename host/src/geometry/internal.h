// Host-internal: the makers the built-in type table uses for the geometry area's node types. Not a
// public header.
#pragma once

#include "host/scene/gelistnode.h"

namespace host::detail
{
BaseList2D* CreateUVWTag(Int32 type);
BaseList2D* CreateSelectionTag(Int32 type);
BaseList2D* CreateLineObject(Int32 type);
} // namespace host::detail

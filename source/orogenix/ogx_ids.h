// The module's plug-in ids, as registered with the host and stored in its documents. They are fixed:
// scenes refer to objects and shaders by these numbers.
#pragma once

#include "host/core/types.h"

// The terrain generator object.
inline constexpr Int32 ID_OGX_TERRAINOBJECT = 1054563;
// The operator base: every terrain operator answers the instance test for it.
inline constexpr Int32 ID_OGX_TERRAINOPERATOR_BASE = 1054564;
// The channel shader that reads an operator's maps (the observers of an operator are its owners).
inline constexpr Int32 ID_OGX_TERRAINOPERATORSHADER = 1054655;
// The group operator: its children form a stack of their own, evaluated into the group's output.
inline constexpr Int32 ID_OGX_GROUPOPERATOR = 1054581;
// The module's preferences: a sub-container of the host's world container, and the message the
// preferences page sends when they change.
inline constexpr Int32 ID_OGX_PREFERENCES = 1055624;

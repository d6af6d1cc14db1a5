// The host's spline generator: an object (Osplinecircle) whose cache is a spline object, so that the
// spline it stands for (BaseObject::GetRealSpline) is not the object itself. It makes a regular polygon
// of SPLINECIRCLE_POINTS points on a circle of SPLINECIRCLE_RADIUS in its own XZ plane, starting on
// +X and turning towards +Z, as one closed linear segment.
//
// It registers itself with the plug-in table when the host library loads (info OBJECT_GENERATOR and
// OBJECT_ISSPLINE); after host::ResetPlugins a test registers it again with RegisterSplineGenerators.
// Its cache is rebuilt only when the object or anything below it changed since the last build.
#pragma once

#include "host/core/types.h"

inline constexpr Int32 Osplinecircle = 5190;

// Its parameters.
inline constexpr Int32 SPLINECIRCLE_RADIUS = 2000;   // Float, 100 when made
inline constexpr Int32 SPLINECIRCLE_POINTS = 2001;   // Int32, 16 when made; fewer than 3 make 3

namespace host
{
// Registers the generator with the plug-in table; true when it is registered (also when it already was).
Bool RegisterSplineGenerators();
} // namespace host

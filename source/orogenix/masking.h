// Masks for blending an operator into the terrain: the field mask from an operator's masking fields,
// and the slope and height bands. The member ApplyToTerrain of the operator base (defined in
// masking.cpp) combines them and blends the operator's output into the terrain.
//
// Masks are Grid2D<Float> of the terrain's shape; an empty mask (no cells) means "no mask". The loops
// run on the host's parallel loop without break tests; each index writes only its own cell, so a mask
// does not depend on the thread count. Every size check comes before the first write: a call that
// fails leaves the terrain as it was, and a band that fails leaves the mask as it was.
#pragma once

#include "host/core/result.h"
#include "host/fields/fieldlist.h"

#include "orogenix/grid2d.h"

class BaseObject;

// Shapes mask like operatorGrid and fills it with the field list sampled once for all cells at the
// cell positions (centred on the origin in XZ, row 0 at +Z) taken to world space by transform. A list
// without an enabled, usable layer resets mask to empty (no mask). Errors: a null list
// ("fieldList must not be NULL!"), an operator grid without cells ("terrain size must not be 0!"),
// the sampling's own errors.
Result<void> BuildFieldMask(Grid2D<Float>& mask, FieldList* fieldList, const Grid2D<Float>& operatorGrid,
                            const Matrix& transform, BaseObject* op);
// The slope band: the weight of each cell's slope (0 flat, 1 vertical) in [low, high] with smooth
// ramps of falloffLow and falloffHigh times half the band width. An empty mask becomes the weights; a
// mask with cells is multiplied by them and must have the terrain's cell count ("FieldOutput and _size
// are different!"). A terrain without cells: "terrain size must not be 0!". mask and terrain are two
// different grids (the slope of a cell reads its neighbours' heights while masks are written).
Result<void> ApplySlopeMask(Grid2D<Float>& mask, const Grid2D<Float>& terrain, Float low, Float high, Float falloffLow,
                            Float falloffHigh);
// The height band: as the slope band, on the terrain's own heights.
Result<void> ApplyHeightMask(Grid2D<Float>& mask, const Grid2D<Float>& terrain, Float low, Float high,
                             Float falloffLow, Float falloffHigh);
// The number of enabled field layers of op's masking list, with mask built from them over
// operatorGrid in the space of the terrain object above op (0: no terrain object or no enabled layer;
// mask untouched).
Result<Int32> GetMaskingFieldList(BaseObject* op, const Grid2D<Float>& operatorGrid, Grid2D<Float>& mask);
// The angle between a and b in radians, in [0, pi]; pi/2 when either has length 0.
Float VectorAngle(const Vector& a, const Vector& b);

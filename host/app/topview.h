// A shaded top view of a built mesh, for a quick look at a terrain without a 3-D viewer: the mesh is
// seen from above (+Y), north (+Z) at the top and east (+X) to the right, as the exported height maps
// are laid out. Each pixel shows the highest surface under its centre, tinted by its height (low green
// to high white) and lit like a hillshade from the north-west at 45 degrees. Pixels no polygon covers
// are transparent.
//
// Threads: rows are rasterised and shaded in the host's parallel loop (all threads, granularity 16);
// every row writes only its own pixels.
#pragma once

#include "meshexport.h"
#include "pngwriter.h"

namespace host::app
{
inline constexpr Int32 TOPVIEW_DEFAULT_SIZE = 512;

// The image's longer side has maxSize pixels, the shorter one follows the mesh's aspect (at least 1).
// A mesh without polygons gives a transparent square. Error for maxSize below 1 or above 16384, and for
// meshes with more than 4294967295 points.
Result<RgbaImage> RenderTopView(const std::vector<MeshPart>& parts, Int32 maxSize = TOPVIEW_DEFAULT_SIZE);
} // namespace host::app

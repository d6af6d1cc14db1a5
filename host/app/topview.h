// A shaded top view of a built mesh, for a quick look at a terrain without a 3-D viewer: the mesh is
// seen from above (+Y), north (+Z) at the top and east (+X) to the right, as the exported height maps
// are laid out. Each pixel shows the highest surface under its centre, tinted by its height (low green
// to high white) and lit like a hillshade from the north-west at 45 degrees. Pixels no polygon covers
// are transparent, and so are the holes left by triangles with a corner that is not a finite number
// (such a point never decides a pixel, nor the image's frame, which holds the mesh's finite points);
// meshes reaching towards the largest doubles are drawn without overflowing.
//
// Lines laid over the view (what the module draws in the viewport of the objects below the terrain, such
// as a gradient's outline) are projected from above with the mesh's own mapping and drawn one pixel
// wide in their colour, opaque, over the shaded surface; the parts of a line outside the image are cut
// off first, and a line with an end that is not finite is left out.
//
// The mesh is read where it lies (nothing is copied): points and then polygons are visited in chunks on
// all threads of the host's parallel loop, each polygon raising the pixels it covers to its height (a
// maximum, so the image does not depend on the threads' order); rows are then shaded in parallel. Out
// of memory is an error.
#pragma once

#include "meshexport.h"
#include "pngwriter.h"

namespace host::app
{
inline constexpr Int32 TOPVIEW_DEFAULT_SIZE = 512;

// A line over the top view: its ends in the space of the cache's root (as the mesh parts' corners), its
// colour with components 0 .. 1.
struct TopViewLine
{
  Vector a;
  Vector b;
  Vector colour;
};

// The image's longer side has maxSize pixels, the shorter one follows the mesh's aspect (at least 1).
// A mesh without polygons gives a transparent square (and no lines). Error for maxSize below 1 or above
// 16384, and for meshes with more than 4294967295 points.
Result<RgbaImage> RenderTopView(const std::vector<MeshPart>& parts, Int32 maxSize = TOPVIEW_DEFAULT_SIZE,
                                const std::vector<TopViewLine>& overlay = {});
} // namespace host::app

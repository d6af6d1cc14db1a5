// Two further erosion simulations on a height grid, both changing its cells in place and leaving its
// minimum, maximum and validity flag as they were.
//
// Noise erosion pulls the heights that lie below a noise-modulated threshold further down, which
// flattens and widens low ground. It works on heights normalised by the grid's minimum and maximum, so it
// needs them valid (a grid without a valid range is left unchanged); each cell reads and writes only
// itself, in one cell loop (on the calling thread up to 10000 cells, on all threads above).
//
// Droplet erosion runs particles one after the other (each reads what the earlier ones changed), from
// positions drawn from a seeded LcgRandom, and may smooth the grid's interior afterwards. No operator
// calls it; it is an engine operation of its own.
#pragma once

#include "host/core/random.h"
#include "host/core/result.h"
#include "orogenix/grid2d.h"

struct NoiseErosionSettings
{
  Float low = 0.0;         // threshold at the noise's low end (normalised height)
  Float high = 0.0;        // threshold at its high end
  Float scale = 0.0;       // position scale of the noise
  Float influence = 0.0;   // how far the noise moves the threshold from high towards low
  Float exponent = 0.0;    // of the pull-down: 0 keeps every height
  Float softness = 0.0;    // blends the pull-down back towards the height near the threshold; 0 off
};

// With T = ((n - 1) x influence + 1) x (high - low) + low for the host noise n at the cell's centred
// position and hn the cell's normalised height: where T > hn the height becomes
// q = (hn / T)^exponent x hn, softened by softness, mapped back onto the grid's range. Always succeeds.
Result<void> NoiseErosion(Grid2D<Float>& grid, const NoiseErosionSettings& settings);

struct DropletSettings
{
  UInt32 seed = 0;
  Int count = 0;                 // droplets
  Float erosionRate = 0.0;
  Float depositionRate = 0.0;
  Float acceleration = 0.0;
  Float inertia = 0.0;
  Float jitter = 0.0;            // of the sample point, in steps
  Float step = 0.0;              // sampling distance of the gradient, in cells
  Int steps = 0;                 // per droplet
  Float ramp = 0.0;              // growth of the erosion per step (full after 1 / ramp steps)
  Bool smooth = false;           // SmoothGridInterior3x3 after the last droplet
};

// Runs the droplets (each starting at a row and then a column drawn from the generator seeded with the
// seed), showing "Calculating Droplet Erosion: Droplet d of n..." and the progress in the status bar,
// then the optional smoothing. An error is printed to the host console and returned.
Result<void> DropletErosion(Grid2D<Float>& grid, const DropletSettings& settings);

// One droplet from the fractional cell position (x, y) (column, row), drawing its jitter from random.
// The droplet follows the downhill gradient sampled around its position plus the jitter, takes material
// where it runs steep, drops it where it runs flat, and ends on flat ground or after its steps.
Result<void> SimulateDroplet(Grid2D<Float>& grid, Float x, Float y, LcgRandom& random, const DropletSettings& settings);

// Replaces every interior cell by the 3 x 3 weighted mean (corners 1/16, sides 1/8, centre 1/4) of the
// heights before the pass; the first and last rows and columns keep theirs. Out-of-memory error when the
// temporary cannot be allocated.
Result<void> SmoothGridInterior3x3(Grid2D<Float>& grid);

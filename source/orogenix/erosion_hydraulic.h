// Grid-based hydraulic erosion (a virtual-pipe water model): rain and a fixed source add water, water
// flows between neighbouring cells through outflow fluxes, gets a velocity field, dissolves terrain where
// it runs fast over steep ground, carries the sediment along and deposits it where it slows, and
// evaporates.
//
// The caller builds a HydraulicGridSet from the heights to erode, constructs a HydraulicErosionState over
// it, initialises it and runs the iterations; the eroded heights are then in the set's height grid. All
// grids share that grid's shape, x the column and y the row. Each pass of a step is a row loop on all
// threads that writes only its own row's cells and reads neighbours only from grids the pass does not
// write (the erosion pass writes its heights into the scratch grid for that reason), so the result is
// bit-identical with any number of threads. Nothing here tests for a break: a run cannot be cancelled.
// Grids narrower or lower than 3 cells are handled: no pass reads or writes outside the grid.
#pragma once

#include "host/core/result.h"
#include "orogenix/grid2d.h"

// The grids the simulation works on, for one evaluation.
struct HydraulicGridSet
{
  Grid2D<Float> heights;    // a copy of the grid to erode; holds the result
  Grid2D<Float> water;      // water depth per cell
  Grid2D<Float> sediment;   // suspended sediment per cell
};

// heights = a copy of source, water and sediment zeroed grids of its shape. Fails with "Invalid grid
// initialization arguments!" (illegal argument) for a negative width or height or a size not above 0, and
// with the first allocation error.
Result<void> InitHydraulicGrids(HydraulicGridSet& set, const Grid2D<Float>& source);

// The simulation state over a grid set (which it references and must outlive it) and its work grids.
// Water, sediment, velocities and fluxes carry over from one step to the next.
struct HydraulicErosionState
{
  explicit HydraulicErosionState(HydraulicGridSet& set)
    : heights(&set.heights), water(&set.water), sediment(&set.sediment)
  {
  }

  // Shapes the seven work grids like the water grid (first error returned) and sets the constants.
  Result<void> Init();

  Grid2D<Float>* heights;
  Grid2D<Float>* water;
  Grid2D<Float>* sediment;

  Grid2D<Float> scratch;
  Grid2D<Float> velocityX;
  Grid2D<Float> velocityY;
  Grid2D<Float> fluxLeft;    // outflow towards x - 1
  Grid2D<Float> fluxRight;   // towards x + 1
  Grid2D<Float> fluxDown;    // towards y + 1
  Grid2D<Float> fluxUp;      // towards y - 1

  Float pipeLengthX = 0.0;
  Float pipeLengthY = 0.0;
  Float gravity = 0.0;
};

// Runs the iterations with the fixed rain, source and time step, showing "Calculating Hydraulic Erosion
// iteration i of n..." and the progress in the status bar (left set at the end). Iterations <= 0 do
// nothing.
void HydraulicErosion(HydraulicErosionState& state, Int iterations);

// One step: rain (when rain > 0), the source (when source is set), then the passes below in this order,
// and finally the height grid takes the scratch grid: its cells by exchange and its header, so the
// heights' minimum and maximum are reset and not valid after every step.
void HydraulicErosionStep(HydraulicErosionState& state, Float dt, Int rain, Bool source, const Int centre[2],
                          Int radius, Float sourceRate);

// Adds (r^2 - dx^2 - dy^2) x amount of water to every cell (cx + dx, cy + dy) inside the grid within
// distance r of the centre (rows outer, columns inner).
void AddWaterSource(HydraulicErosionState& state, const Int centre[2], Int radius, Float amount);

// The passes of a step, in their order (for measuring each on its own; a step runs them all).
// 1000 drops from a generator seeded with 123, the column drawn before the row, each adding 0.0625 to the
// 3 x 3 block around a cell off the outer ring; block cells outside a narrow grid are skipped.
void AddRain(HydraulicErosionState& state);
void UpdateOutflowFlux(HydraulicErosionState& state, Float dt);
void UpdateWaterVelocity(HydraulicErosionState& state, Float dt);
// Tilts come from the heights as they were before the pass, whatever the order the rows run in.
void ErodeDeposit(HydraulicErosionState& state);
void AdvectSediment(HydraulicErosionState& state, Float dt);
void EvaporateWater(HydraulicErosionState& state, Float dt);
// Writes the scratch grid (the heights with isolated spikes replaced by the five-point mean).
void SmoothHeightSpikes(HydraulicErosionState& state);
// The height grid takes the scratch grid's cells (exchanged with its own, no copy) and header.
void TakeScratchHeights(HydraulicErosionState& state);

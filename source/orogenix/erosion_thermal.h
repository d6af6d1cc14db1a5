// Thermal weathering: material slides from a cell to lower neighbours wherever the height difference
// exceeds the talus, for a number of iterations. Changes the grid's cells in place and leaves its header
// (sizes, minimum, maximum, validity flag) as it was, so the minimum and maximum go stale.
//
// Each iteration reads the heights as the previous one left them and writes a new set of heights. A
// transfer takes from its own cell and adds to a neighbour, so many cells add into one target cell; the
// iteration is therefore written as a gather: a first pass records what every cell sends (steepest: to
// which neighbour; distributed: its two factors), a second computes every target cell on its own from
// the records of its 3 x 3 block, applying the cell's own removal and its neighbours' deposits in row-major
// order of that block. That is exactly the order a serial scatter over the cells in index order applies
// them, so no addition is lost and the result is bit-identical with any number of threads. Both passes
// and the smoothing are row loops on all threads; the only break test is the one per iteration.
#pragma once

#include "host/core/basearray.h"
#include "host/core/result.h"
#include "host/core/thread.h"
#include "orogenix/grid2d.h"

struct ThermalSettings
{
  Int32 iterations = 0;
  Float removal = 0.0;   // share of a moved amount taken from the higher cell
  Float talus = 0.0;     // height difference above which material moves (strictly)
  Float deposit = 0.0;   // share of a moved amount added to the lower cell
  Int32 mode = 0;        // 0, 2 and unknown: steepest of 4; 1 steepest of 8; 3 distributed over 8; 4 over 4
  Bool smooth = false;   // five-point smoothing after each iteration, distributed modes only
};

// What the first pass of an iteration records per cell; kept between iterations so a large grid
// allocates it once. Every record is written before it is read, so its storage is never cleared.
struct ThermalOutflow
{
  BaseArray<UChar> lowest;   // steepest: the 3 x 3 block position (dy + 1) * 3 + (dx + 1) it sends to, or none
  BaseArray<Float> spread;   // distributed: the largest qualifying difference minus the talus
  BaseArray<Float> inverse;  // distributed: 1 / the sum of the qualifying differences, 0 without any
};

// Runs the iterations. Iterations 0 fail with "Intensity and iterations must not be 0!" (illegal state)
// and negative iterations do nothing. Before iterations 2, 3, 6, 7, ... (i AND 2 non-zero) a break
// requested on the thread ends the run with "Thermal Weathering cancelled!", the grid holding the
// iterations done. Each iteration shows resource string 10083 with (i, iterations) and its progress in the
// status bar. The storage the iterations work in is allocated by the first and reused by the others; an
// allocation failure is returned.
Result<void> ThermalWeathering(Grid2D<Float>& grid, const ThermalSettings& settings, const HostThread* thread);

// One steepest-descent iteration from grid into target (another grid, shaped like grid): each cell sends
// d x removal to its lowest neighbour (the first in neighbour order among equals) when d = its height
// minus that neighbour's exceeds the talus, and that neighbour receives d x removal x deposit.
// Neighbour order, 4 cells: up (y - 1), right, down, left; 8 cells: up, up-right, up-left, down,
// down-right, down-left, left, right.
Result<void> ThermalTransferB(const Grid2D<Float>& grid, Grid2D<Float>& target, const ThermalSettings& settings,
                              Bool eight, ThermalOutflow& outflow);

// One distributed iteration: each cell sends a = (dmax - talus) x d / sum to every neighbour whose
// difference d exceeds the talus (sum and dmax over those differences), removing a x removal from itself
// and adding a x deposit to the neighbour.
Result<void> ThermalTransferA(const Grid2D<Float>& grid, Grid2D<Float>& target, const ThermalSettings& settings,
                              Bool eight, ThermalOutflow& outflow);

// smoothed = the mean of each cell and its four neighbours (left, itself, right, down, up, summed in
// that order, neighbours clamped into the grid) times 0.2. Two distinct grids of one shape.
Result<void> SmoothHeightsFivePoint(const Grid2D<Float>& heights, Grid2D<Float>& smoothed);

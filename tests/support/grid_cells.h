// Grid cells as plain vectors, and their bit-for-bit comparison with the first differing cell named.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "orogenix/grid2d.h"
#include "support/test_support.h"

namespace ogx_test
{
inline std::vector<Float> Cells(const Grid2D<Float>& g)
{
  return std::vector<Float>(g.cells.begin(), g.cells.end());
}

// Bit-identical (NaN matching NaN), cell by cell.
inline ::testing::AssertionResult SameCells(const std::vector<Float>& got, const std::vector<Float>& want)
{
  if (got.size() != want.size())
    return ::testing::AssertionFailure() << "size " << got.size() << " != " << want.size();
  for (std::size_t k = 0; k < got.size(); ++k)
    if (!Same(got[k], want[k]))
      return ::testing::AssertionFailure() << "cell " << k << ": " << got[k] << " != " << want[k];
  return ::testing::AssertionSuccess();
}
} // namespace ogx_test

// Small pieces the benchmarks share: a terrain object stand-in for operators that look up their
// terrain object (a plain generator under the terrain object's id), and a check that stops the
// benchmark when its set-up fails (a benchmark of a failed set-up would measure nothing).
#pragma once

#include <cstdlib>

#include "host/core/alloc.h"
#include "host/scene/nodedata.h"

class BenchTerrainData : public ObjectData
{
public:
  static NodeData* Alloc() { return NewObj<BenchTerrainData>(); }
};

inline void Check(Bool ok)
{
  if (!ok)
    std::abort();
}

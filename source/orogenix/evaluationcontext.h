// The per-rebuild record handed to the evaluation queue, to every operator's dirty test, computation
// and blend. The terrain object builds one for each rebuild; a group operator copies it for its
// children and replaces the parent matrices with those of its own nesting.
#pragma once

#include "host/core/matrix.h"
#include "host/core/types.h"

class BaseObject;
class HierarchyContext;

struct EvaluationContext
{
  Int resolutionX = 0;   // effective resolution: the terrain grid has resolutionX + 1 columns
  Int resolutionZ = 0;   // and resolutionZ + 1 rows
  Float sizeX = 0.0;
  Float sizeZ = 0.0;
  Float lod = 1.0;
  BaseObject* terrainObject = nullptr;
  HierarchyContext* hierarchyHelp = nullptr;   // its thread is the one loops test for a break

  Matrix terrainMatrix;          // the terrain object's global matrix
  Matrix terrainMatrixInverse;
  Matrix parentMatrix;           // product of the enclosing group operators' local matrices
  Matrix parentMatrixInverse;
  Matrix objectToGridMatrix;     // inverse of gridToObjectMatrix
  Matrix gridToObjectMatrix;     // (column fraction, row fraction, height) -> terrain object space
};

// Stores the scalars and sets every matrix to identity; with a terrain object also its global matrix,
// the inverse, and the grid mapping over sizeX by sizeZ. The parent matrices stay identity.
void InitEvaluationContext(EvaluationContext& out, Int resolutionX, Int resolutionZ, Float sizeX, Float sizeZ,
                           Float lod, BaseObject* terrainObject, HierarchyContext* hierarchyHelp);
void CopyEvaluationContext(EvaluationContext& out, const EvaluationContext& in);

// The per-rebuild evaluation record: built by the terrain object, copied by the group operator.
#include "orogenix/evaluationcontext.h"

#include "host/scene/baseobject.h"

void InitEvaluationContext(EvaluationContext& out, Int resolutionX, Int resolutionZ, Float sizeX, Float sizeZ,
                           Float lod, BaseObject* terrainObject, HierarchyContext* hierarchyHelp)
{
  out.resolutionX = resolutionX;
  out.resolutionZ = resolutionZ;
  out.sizeX = sizeX;
  out.sizeZ = sizeZ;
  out.lod = lod;
  out.terrainObject = terrainObject;
  out.hierarchyHelp = hierarchyHelp;

  const Matrix identity;
  out.terrainMatrix = identity;
  out.terrainMatrixInverse = identity;
  out.parentMatrix = identity;
  out.parentMatrixInverse = identity;
  out.objectToGridMatrix = identity;
  out.gridToObjectMatrix = identity;
  if (!terrainObject)
    return;

  out.terrainMatrix = terrainObject->GetMg();
  out.terrainMatrixInverse = ~out.terrainMatrix;
  // (column fraction u, row fraction v, height h) -> (u sizeX - sizeX/2, h, sizeZ/2 - v sizeZ): row 0 lies
  // at +Z, and the height is the object's Y axis.
  out.gridToObjectMatrix = Matrix(Vector(-sizeX * 0.5, 0.0, sizeZ * 0.5), Vector(sizeX, 0.0, 0.0),
                                  Vector(0.0, 0.0, -sizeZ), Vector(0.0, 1.0, 0.0));
  out.objectToGridMatrix = ~out.gridToObjectMatrix;
}

void CopyEvaluationContext(EvaluationContext& out, const EvaluationContext& in)
{
  out.resolutionX = in.resolutionX;
  out.resolutionZ = in.resolutionZ;
  out.sizeX = in.sizeX;
  out.sizeZ = in.sizeZ;
  out.lod = in.lod;
  out.terrainObject = in.terrainObject;
  out.hierarchyHelp = in.hierarchyHelp;
  out.terrainMatrix = in.terrainMatrix;
  out.terrainMatrixInverse = in.terrainMatrixInverse;
  out.parentMatrix = in.parentMatrix;
  out.parentMatrixInverse = in.parentMatrixInverse;
  out.objectToGridMatrix = in.objectToGridMatrix;
  out.gridToObjectMatrix = in.gridToObjectMatrix;
}

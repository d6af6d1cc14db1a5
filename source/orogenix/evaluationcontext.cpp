// The per-rebuild evaluation record: built by the terrain object, copied by the group operator.
#include "orogenix/evaluationcontext.h"

#include "host/scene/baseobject.h"

void InitEvaluationContext(EvaluationContext& out, Int resolutionX, Int resolutionZ, Float sizeX, Float sizeZ,
                           Float lod, BaseObject* terrainObject, HierarchyContext* hierarchyHelp)
{
  out = EvaluationContext{};   // every matrix identity
  out.resolutionX = resolutionX;
  out.resolutionZ = resolutionZ;
  out.sizeX = sizeX;
  out.sizeZ = sizeZ;
  out.lod = lod;
  out.terrainObject = terrainObject;
  out.hierarchyHelp = hierarchyHelp;
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
  out = in;
}

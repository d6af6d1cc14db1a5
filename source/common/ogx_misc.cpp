// Scene and object helpers shared by the engine, the objects and the user interface.
#include "common/ogx_misc.h"

#include <new>
#include <optional>
#include <span>
#include <sstream>

#include "host/core/log.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "host/splines/splinedata.h"
#include "orogenix/ogx_ids.h"

namespace
{
// Module string: the help location used when the help folder is not installed next to the module.
constexpr Int32 IDS_HELP_FALLBACK_URL = 10086;

Bool IsEnabledDeformer(const BaseObject* op)
{
  return (op->GetInfo() & OBJECT_MODIFIER) != 0 && op->GetObjectState(OBJECTSTATE::DEFORM) == 1;
}

// Frees a node that AllocPluginNode made but that is no object, through the free of its kind.
void FreeNonObject(BaseList2D* node)
{
  switch (node->GetKind())
  {
    case NODEKIND::SHADER:
    {
      BaseShader* shader = static_cast<BaseShader*>(node);
      BaseShader::Free(shader);
      return;
    }
    case NODEKIND::TAG:
    {
      BaseTag* tag = static_cast<BaseTag*>(node);
      BaseTag::Free(tag);
      return;
    }
    default:
      // Scene hooks have no free of their own in the SDK layer.
      host::FreeNode(node);
      return;
  }
}

// The host hands out a string's characters as a separately allocated copy, which can fail.
Bool CopyCharacters(const String& s, std::string& out)
{
  try
  {
    std::string* copy = NewObj<std::string>(s.GetStd());
    if (!copy)
      return false;
    out = std::move(*copy);
    DeleteObj(copy);
    return true;
  }
  catch (const std::bad_alloc&)
  {
    return false;
  }
}
} // namespace

BUILDREASON GetBuildReason(HierarchyContext* context)
{
  const Bool editorRendering = CheckIsRunning(CHECKISRUNNING::EDITORRENDERING);
  const Bool externalRendering = CheckIsRunning(CHECKISRUNNING::EXTERNALRENDERING);
  if (context)
  {
    const BUILDFLAGS flags = context->GetBuildFlags();
    if (HasFlag(flags, BUILDFLAGS::ISOPARM))
      return BUILDREASON::ISOPARM;
    if (HasFlag(flags, BUILDFLAGS::INTERNALRENDERER) && editorRendering)
      return BUILDREASON::EDITORRENDER;
    if (HasFlag(flags, BUILDFLAGS::EXTERNALRENDERER))
    {
      if (externalRendering)
        return BUILDREASON::EXTERNALRENDER;
      if (!editorRendering)
        return BUILDREASON::MAKEEDITABLE;
      // An external-renderer build while only the editor renders is deliberately left to the running
      // states below.
    }
  }
  else
  {
    if (editorRendering)
      return BUILDREASON::EDITORRENDER;
    if (externalRendering)
      return BUILDREASON::EXTERNALRENDER;
  }
  if (CheckIsRunning(CHECKISRUNNING::ANIMATIONRUNNING))
    return BUILDREASON::ANIMATIONRUNNING;
  if (CheckIsRunning(CHECKISRUNNING::VIEWDRAWING))
    return BUILDREASON::VIEWDRAWING;
  return BUILDREASON::UNKNOWN;
}

Result<Url> GetHelpPath(Bool withIndex)
{
  // An unknown module directory would make "help" relative to the working directory, which could find
  // some other folder: it counts as missing.
  const Url moduleDirectory = GeGetPluginPath();
  if (!moduleDirectory.IsEmpty())
  {
    Url path = moduleDirectory + String("help");
    if (withIndex)
      path = path + String("index.html");
    if (path.Exists())
      return path;
  }
  const String fallback = GeLoadString(IDS_HELP_FALLBACK_URL);
  if (fallback.IsEmpty())
    return IllegalStateError("Could not find the help location!");
  return Url(fallback);
}

Bool ContainersEqual(const BaseContainer* a, const BaseContainer* b, const BaseArray<Int32>* ids)
{
  static const BaseContainer empty;
  const BaseContainer& ca = a ? *a : empty;
  const BaseContainer& cb = b ? *b : empty;
  if (!ids || ids->IsEmpty())
    return ca == cb;
  for (const Int32 id : *ids)
  {
    if (ca.GetData(id) != cb.GetData(id))
      return false;
  }
  return true;
}

Result<AtomArray*> FindDeformers(BaseObject* object)
{
  if (!object)
    return NullptrError("objectPtr must not be NULL!");
  AtomArray* result = AtomArray::Alloc();
  if (!result)
    return OutOfMemoryError("Could not allocate result AtomArray!");

  // Depth first below object. Climbing stops as soon as it reaches object, so the walk never steps to
  // object's own siblings or beyond.
  BaseObject* op = object->GetDown();
  while (op)
  {
    if (IsEnabledDeformer(op) && result->Find(op) < 0 && !result->Append(op))
    {
      AtomArray::Free(result);
      return OutOfMemoryError("Could not append found deformer to result AtomArray!");
    }
    if (BaseObject* down = op->GetDown())
    {
      op = down;
      continue;
    }
    while (op && op != object && !op->GetNext())
      op = op->GetUp();
    if (!op || op == object)
      break;
    op = op->GetNext();
  }
  return result;
}

Result<void> CollectSelectedTerrainObjects(AtomArray* activeObjects, BaseArray<BaseObject*>& out)
{
  if (!activeObjects)
    return NullptrError("activeObjects must not be nullptr!");
  const Int32 count = activeObjects->GetCount();
  for (Int32 i = 0; i < count; ++i)
  {
    BaseList2D* node = activeObjects->GetIndex(i);
    if (!node || node->GetKind() != NODEKIND::OBJECT)
      continue;
    BaseObject* op = static_cast<BaseObject*>(node);
    if (op->GetType() == ID_OGX_TERRAINOBJECT)
    {
      if (op->IsEnabled() && !out.Contains(op))
        HOST_TRY(out.Append(op));
      continue;
    }
    if (!op->IsInstanceOf(ID_OGX_TERRAINOPERATOR_BASE))
      continue;
    for (BaseObject* up = op->GetUp(); up; up = up->GetUp())
    {
      if (up->GetType() != ID_OGX_TERRAINOBJECT || !up->IsEnabled() || out.Contains(up))
        continue;
      HOST_TRY(out.Append(up));
      break;
    }
  }
  return OK;
}

BaseObject* AllocObjectById(Int32 pluginId)
{
  if (BaseList2D* node = AllocPluginNode(pluginId))
  {
    if (node->GetKind() == NODEKIND::OBJECT)
      return static_cast<BaseObject*>(node);
    // A plug-in of another kind is no object; handing it out as one would be a type confusion.
    FreeNonObject(node);
  }
  return BaseObject::Alloc(pluginId);
}

BaseContainer* GetOgxPreferences()
{
  BaseContainer* world = GetWorldContainerInstance();
  if (!world)
    return nullptr;
  BaseContainer* prefs = world->GetContainerInstance(ID_OGX_PREFERENCES);
  if (!prefs && !world->Contains(ID_OGX_PREFERENCES))
  {
    world->SetContainer(ID_OGX_PREFERENCES, BaseContainer(ID_OGX_PREFERENCES));
    prefs = world->GetContainerInstance(ID_OGX_PREFERENCES);
  }
  return prefs;
}

String JoinStrings(const BaseArray<String>& parts, const String& separator)
{
  String result;
  for (const String& part : parts)
  {
    if (!result.IsEmpty())
      result.append(separator);
    result.append(part);
  }
  return result;
}

String PointerToString(const void* p)
{
  std::ostringstream stream;
  stream << p;
  return String(stream.str());
}

std::string ToStdString(const String& s)
{
  std::string out;
  if (s.IsEmpty() || !CopyCharacters(s, out))
    return std::string();
  return out;
}

std::string C4DToStdString(const String& s)
{
  std::string out;
  if (s.IsEmpty())
    return out;
  if (!CopyCharacters(s, out))
  {
    ConsolePrint(String("C4DToStdString: Could not get CString from s!"));
    return std::string();
  }
  return out;
}

// ---------------------------------------------------------------------------------------------------
// Curve presets

namespace
{
// One knot of a preset; a tangent left empty keeps what a new knot gets (zero).
struct PresetKnot
{
  Float x;
  Float y;
  std::optional<Vector> left;
  std::optional<Vector> right;
};

constexpr Vector ZERO_TANGENT{};
constexpr Vector Along(Float x, Float y = 0.0)
{
  return Vector(x, y, 0.0);
}

constexpr PresetKnot CANYON_KNOTS[] = {{0.0, 0.0, {}, ZERO_TANGENT}, {1.0, 1.0, Along(-0.5), {}}};
constexpr PresetKnot GLACIER_KNOTS[] = {{0.0, 0.0, {}, Along(0.5)}, {1.0, 1.0, ZERO_TANGENT, {}}};
constexpr PresetKnot PLATEAU_KNOTS[] = {{0.0, 0.0, {}, ZERO_TANGENT},
                                        {0.45, 0.5, Along(-0.1), Along(0.1)},
                                        {0.55, 0.5, Along(-0.1), Along(0.1)},
                                        {1.0, 1.0, ZERO_TANGENT, {}}};
constexpr PresetKnot EMPHASIZE_KNOTS[] = {{0.0, 0.0, {}, Along(0.5)}, {1.0, 1.0, Along(-0.5), {}}};
constexpr PresetKnot TERRACE_1_KNOTS[] = {{0.0, 0.0, {}, ZERO_TANGENT},
                                          {0.25, 0.25, Along(-0.15), Along(0.15)},
                                          {0.5, 0.5, Along(-0.15), Along(0.15)},
                                          {0.75, 0.75, Along(-0.15), Along(0.15)},
                                          {1.0, 1.0, ZERO_TANGENT, {}}};
// The knot positions are 0.2 times the knot number, as doubles (0.2 x 3 is 0.6000000000000001; 0.2 x 5
// is exactly 1).
constexpr PresetKnot TERRACE_2_KNOTS[] = {{0.2 * 0, 0.2 * 0, {}, ZERO_TANGENT},
                                          {0.2 * 1, 0.2 * 1, Along(-0.1), Along(0.1)},
                                          {0.2 * 2, 0.2 * 2, Along(-0.1), Along(0.1)},
                                          {0.2 * 3, 0.2 * 3, Along(-0.1), Along(0.1)},
                                          {0.2 * 4, 0.2 * 4, Along(-0.1), Along(0.1)},
                                          {0.2 * 5, 0.2 * 5, ZERO_TANGENT, {}}};
constexpr PresetKnot DUNES_KNOTS[] = {
  {0.0, 0.0, {}, Along(0.2)}, {0.5, 0.5, Along(-0.2), Along(0.2)}, {1.0, 0.0, Along(-0.2), {}}};
constexpr PresetKnot DUNES_2_KNOTS[] = {
  {0.0, 0.0, {}, Along(0.2)}, {0.5, 0.5, Along(-0.2, 0.3), Along(0.2, 0.3)}, {1.0, 0.0, Along(-0.2), {}}};
constexpr PresetKnot GLACIER_2_KNOTS[] = {{0.0, 0.0, ZERO_TANGENT, Along(0.75)}, {1.0, 1.0, Along(-0.1), ZERO_TANGENT}};
constexpr PresetKnot PLATEAU_2_KNOTS[] = {
  {0.0, 0.0, {}, ZERO_TANGENT}, {0.5, 0.5, Along(-0.2), Along(0.2)}, {1.0, 1.0, ZERO_TANGENT, {}}};
constexpr PresetKnot CRATERS_KNOTS[] = {{0.0, 0.5, {}, Along(0.2, -0.2)},
                                        {0.5, 0.2, Along(-0.2, -0.3), Along(0.2, -0.3)},
                                        {1.0, 0.5, Along(-0.2, -0.3), {}}};
constexpr PresetKnot FLATTENVALLEYS_KNOTS[] = {{0.0, 0.0, {}, Along(0.25)}, {1.0, 1.0, ZERO_TANGENT, {}}};

// The knots of each preset by its value; LINEAR's are the host's default curve.
const std::span<const PresetKnot> PRESET_KNOTS[] = {
  {},   // LINEAR
  CANYON_KNOTS,
  GLACIER_KNOTS,
  PLATEAU_KNOTS,
  EMPHASIZE_KNOTS,
  TERRACE_1_KNOTS,
  TERRACE_2_KNOTS,
  DUNES_KNOTS,
  DUNES_2_KNOTS,
  GLACIER_2_KNOTS,
  PLATEAU_2_KNOTS,
  CRATERS_KNOTS,
  FLATTENVALLEYS_KNOTS,
};
constexpr Int32 PRESET_COUNT = static_cast<Int32>(std::size(PRESET_KNOTS));
// The host's default curve, the identity diagonal.
constexpr Int32 DEFAULT_CURVE_KNOTS = 2;
} // namespace

Result<void> ApplySplineDataPreset(BaseContainer& data, Int32 parameterId, SPLINEDATAPRESET preset)
{
  auto* curve = static_cast<SplineData*>(data.GetCustomData(parameterId, CUSTOMDATATYPE_SPLINE));
  if (!curve)
    return NullptrError("Could not get SplineData!");
  curve->DeleteAllPoints();

  const Int32 value = static_cast<Int32>(preset);
  const std::span<const PresetKnot> knots =
    value >= 0 && value < PRESET_COUNT ? PRESET_KNOTS[value] : std::span<const PresetKnot>();
  if (knots.empty())
  {
    if (!curve->MakeDefaultCurve(DEFAULT_CURVE_KNOTS))
      return OutOfMemoryError("Could not make the default curve!");
    return OK;
  }
  // A knot the host cannot insert would shift every later tangent onto the wrong knot: stop instead.
  for (const PresetKnot& k : knots)
    if (curve->InsertKnot(k.x, k.y) < 0)
      return OutOfMemoryError("Could not insert a curve knot!");
  for (std::size_t i = 0; i < knots.size(); ++i)
  {
    SplineKnot* knot = curve->GetKnot(static_cast<Int32>(i));
    if (!knot)
      continue;
    if (knots[i].left)
      knot->leftTangent = *knots[i].left;
    if (knots[i].right)
      knot->rightTangent = *knots[i].right;
  }
  return OK;
}

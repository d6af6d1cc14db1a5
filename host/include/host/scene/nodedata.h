// The plug-in classes a module derives from: BaseData -> NodeData -> ObjectData, ShaderData, TagData,
// SceneHookData. The host allocates a node, attaches the plug-in's data and calls its slots at the
// moments named below; every slot has a fixed default, which an override may call as "the host
// default".
//
// Lifecycle: allocation -> Init (false: the allocation fails; Free and the destructor still run);
// loading a scene -> Read(level) after the stored container is in place; saving -> Write; cloning ->
// Init on the copy, the container copied, then CopyTo; freeing -> Free (the node is still in its
// document, so links resolve) -> destructor.
//
// Defaults: Init, Read, Write, CopyTo, Message, GetDDescription, GetDEnabling, GetParameter and
// SetParameter answer true; GetParameter leaves the value to the host (which reads the container);
// SetParameter stores the value in the container and reports PARAM_SET; IsInstanceOf answers the
// node's own type and its built-in base types.
#pragma once

#include "host/scene/gelistnode.h"

class BaseDraw;
class BaseDrawHelp;
class BaseObject;
class BaseSceneHook;
class BaseShader;
class BaseTag;
class ChannelData;
class HierarchyContext;
class HostThread;
class InitRenderStruct;
class PriorityList;

enum class DRAWPASS : Int32
{
  OBJECT = 0,
  BOX = 1,
  HANDLES = 2,
  HIGHLIGHTS = 3,
  XRAY = 4,
};

enum class DRAWRESULT : Int32
{
  FAILURE = 0,
  OK = 1,
  SKIP = 2,
};

enum class INITRENDERRESULT : Int32
{
  OK = 0,
  OUTOFMEMORY = -100,
  UNKNOWNERROR = -102,
};

enum class EXECUTIONRESULT : Int32
{
  OK = 0,
  USERBREAK = 1,
  OUTOFMEMORY = 2,
};

// Execution-pass flags; EXPRESSION (4) is the pass a scene hook asks to be run in.
enum class EXECUTIONFLAGS : Int32
{
  NONE = 0,
  EXPRESSION = 4,
};
HOST_ENUM_FLAGS(EXECUTIONFLAGS)

// Scene-hook draw flags; DRAW_PASS (4) is the ordinary draw pass.
enum class SCENEHOOKDRAW : Int32
{
  NONE = 0,
  DRAW_PASS = 4,
};
HOST_ENUM_FLAGS(SCENEHOOKDRAW)

// How a handle may move: LINEAR along its direction, FREE anywhere.
enum class HANDLECONSTRAINTTYPE : Int32
{
  LINEAR = 0,
  FREE = 1,
};

struct HandleInfo
{
  Vector position;    // in the object's own space
  Vector direction;   // the line a LINEAR handle moves along
  HANDLECONSTRAINTTYPE type = HANDLECONSTRAINTTYPE::LINEAR;
};

// Allocation function of a plug-in: a new instance, or null when memory cannot be had.
using DataAllocator = NodeData* (*)();

class BaseData
{
public:
  BaseData() = default;
  BaseData(const BaseData&) = delete;
  BaseData& operator=(const BaseData&) = delete;
  virtual ~BaseData() = default;
};

class NodeData : public BaseData
{
public:
  // The node this data belongs to (null before the host attached it).
  GeListNode* Get() const { return _node; }

  virtual Bool Init(GeListNode* node);
  virtual void Free(GeListNode* node);
  virtual Bool Read(GeListNode* node, HyperFile* hf, Int32 level);
  virtual Bool Write(const GeListNode* node, HyperFile* hf) const;
  // Copies the plug-in's own members into dest (the copy's data); the container is already copied.
  virtual Bool CopyTo(NodeData* dest, const GeListNode* snode, GeListNode* dnode, COPYFLAGS flags,
                      AliasTrans* trn) const;
  virtual Bool Message(GeListNode* node, Int32 type, void* data);
  virtual Bool IsInstanceOf(const GeListNode* node, Int32 type) const;
  virtual Bool GetDDescription(GeListNode* node, Description* description, DESCFLAGS_DESC& flags);
  virtual Bool GetParameter(GeListNode* node, const DescID& id, GeData& t_data, DESCFLAGS_GET& flags);
  virtual Bool SetParameter(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_SET& flags);
  virtual Bool GetDEnabling(GeListNode* node, const DescID& id, const GeData& t_data, DESCFLAGS_ENABLE flags,
                            const BaseContainer* itemdesc);

private:
  friend struct HostNodeAccess;
  GeListNode* _node = nullptr;
};

class ObjectData : public NodeData
{
public:
  // Centre and half extents of the object in its own space; the default is an empty box at 0.
  virtual void GetBoundingBox(BaseObject* op, Vector* mp, Vector* rad);
  // The generator's cache: a new object (the host takes it), the existing cache (kept), or null.
  virtual BaseObject* BuildCache(BaseObject* op, HierarchyContext* hh);
  // The default draws the handles (through the viewport's hook, see host::SetDefaultDrawHook) in the
  // handle pass and skips the others.
  virtual DRAWRESULT Draw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh);
  // The nearest handle to point (object space) within tolerance, -1 when none.
  virtual Int32 DetectHandle(BaseObject* op, BaseDraw* bd, const Vector& point, Float tolerance);
  // Moves handle hitId towards point (object space): along its direction for LINEAR handles, to the
  // point for FREE ones, then calls SetHandlePosition. False for an unknown handle.
  virtual Bool MoveHandle(BaseObject* op, BaseObject* undo, const Vector& point, Int32 hitId, BaseDraw* bd);
  virtual Int32 CountHandles(BaseObject* op);
  virtual void GetHandlePosition(BaseObject* op, Int32 i, HandleInfo& info);
  virtual void SetHandlePosition(BaseObject* op, Int32 i, const Vector& p, const HandleInfo& info);

  // The host's default drawing (the handles); an override that draws more calls it first.
  static DRAWRESULT DefaultDraw(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh);
};

class ShaderData : public NodeData
{
public:
  virtual INITRENDERRESULT InitRender(BaseShader* sh, const InitRenderStruct& irs);
  virtual void FreeRender(BaseShader* sh);
  // The colour at the channel data's point; black by default. Called from several threads at once.
  virtual Vector SampleColor(BaseShader* sh, ChannelData* cd);
};

class TagData : public NodeData
{
public:
  virtual EXECUTIONRESULT Execute(BaseTag* tag, BaseDocument* doc, BaseObject* op, HostThread* bt, Int32 priority,
                                  EXECUTIONFLAGS flags);
};

class SceneHookData : public NodeData
{
public:
  // Adds the hook to the execution list; the default adds nothing and answers false.
  virtual Bool AddToExecution(BaseSceneHook* node, PriorityList* list);
  virtual EXECUTIONRESULT Execute(BaseSceneHook* node, BaseDocument* doc, HostThread* bt, Int32 priority,
                                  EXECUTIONFLAGS flags);
  virtual Bool Draw(BaseSceneHook* node, BaseDocument* doc, BaseDraw* bd, BaseDrawHelp* bh, HostThread* bt,
                    SCENEHOOKDRAW flags);
};

namespace host
{
// The viewport area installs the drawing behind ObjectData::DefaultDraw; without it DefaultDraw draws
// nothing and answers OK.
using DefaultDrawFn = DRAWRESULT (*)(BaseObject* op, DRAWPASS drawpass, BaseDraw* bd, BaseDrawHelp* bh);
void SetDefaultDrawHook(DefaultDrawFn fn);
} // namespace host

// What a cache build is given and what the host keeps around it: the build record
// (HierarchyContext), the running-state table, the world (preferences) container, the update-event
// counter, and the build driver that calls a generator's BuildCache and keeps its result.
//
// The build driver stores the returned object as the generator's cache (keeping it when the same
// object comes back, freeing the old one when a new one or null comes back; a new cache raises CACHE)
// and then records the dirty counts and the state below the generator, so that writes the build made
// to its own object or its children never make the next build dirty.
//
// The running states, the world container and the event counter are process-wide and meant for the
// host's main thread; tests reset them between cases.
#pragma once

#include "host/scene/document.h"

class HostThread;

enum class BUILDFLAGS : Int32
{
  NONE = 0,
  INTERNALRENDERER = 2,
  EXTERNALRENDERER = 4,
  ISOPARM = 8,
};
HOST_ENUM_FLAGS(BUILDFLAGS)

class HierarchyContext
{
public:
  HierarchyContext() = default;
  HierarchyContext(BaseDocument* doc, Float lod, HostThread* thread, BUILDFLAGS flags)
    : _doc(doc), _lod(lod), _thread(thread), _flags(flags)
  {
  }

  BaseDocument* GetDocument() const { return _doc; }
  // The level-of-detail factor (1.0: full detail).
  Float GetLOD() const { return _lod; }
  // The thread the build runs on; loops test it for a break. May be null.
  HostThread* GetThread() const { return _thread; }
  BUILDFLAGS GetBuildFlags() const { return _flags; }

  void SetDocument(BaseDocument* doc) { _doc = doc; }
  void SetLOD(Float lod) { _lod = lod; }
  void SetThread(HostThread* thread) { _thread = thread; }
  void SetBuildFlags(BUILDFLAGS flags) { _flags = flags; }

private:
  BaseDocument* _doc = nullptr;
  Float _lod = 1.0;
  HostThread* _thread = nullptr;
  BUILDFLAGS _flags = BUILDFLAGS::NONE;
};

enum class CHECKISRUNNING : Int32
{
  ANIMATIONRUNNING = 0,
  VIEWDRAWING = 1,
  EDITORRENDERING = 2,
  EXTERNALRENDERING = 3,
};

// The host's is-running query.
Bool CheckIsRunning(CHECKISRUNNING type);

// The world container: one process-wide container; preferences live in its sub-containers.
BaseContainer* GetWorldContainerInstance();

// Held while reading or writing entries of the world container that a script thread may write at the
// same time (see host/python/python.h; the c4d bindings hold it for every access they make). Recursive.
// Nobody waits for it while holding the interpreter's lock, so the two never deadlock.
class WorldContainerLock
{
public:
  WorldContainerLock();
  ~WorldContainerLock();
  WorldContainerLock(const WorldContainerLock&) = delete;
  WorldContainerLock& operator=(const WorldContainerLock&) = delete;
};

// Queues a host update (redraw) event; recorded with its flags.
void EventAdd(Int32 flags = 0);

namespace host
{
void SetRunning(CHECKISRUNNING type, Bool running);
void ResetRunningStates();

// Empties the world container and clears the refusals below.
void ResetWorldContainer();
// Test switch: GetContainerInstance(id) on the world container answers null for this id even when the
// sub-container exists (a preferences container that "cannot be had").
void SetWorldSubContainerRefused(Int32 id, Bool refused);
Bool IsWorldSubContainerRefused(const BaseContainer* bc, Int32 id);

Int GetEventCount();
std::vector<Int32> GetEventLog();
void ResetEvents();

// Runs op's BuildCache with hh and keeps the result as op's cache (see above); returns the cache
// (null when op has no object plug-in data or the build gave nothing).
BaseObject* BuildObjectCache(BaseObject* op, HierarchyContext* hh);
// Builds every generator of the document (info OBJECT_GENERATOR with plug-in data), children before
// their parents.
void BuildDocumentCaches(BaseDocument* doc, HierarchyContext* hh);

// Resets everything process-wide this area keeps: plug-ins, world container, running states, events,
// the recycled record storage, and the geometry area's test switches (write-access and
// modelling-command refusals).
void ResetSceneState();
} // namespace host

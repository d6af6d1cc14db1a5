// Modelling commands. The stand-in knows one: current state to object (245), which turns objects of a
// document into the plain geometry the host shows for them.
//
// MCOMMAND_CURRENTSTATETOOBJECT, for data.op (or, when op is null, every object of data.arr), which
// must live in data.doc: the result list gets one new object per input, in no document and owned by
// the caller:
//  - a point object (polygon, spline, line object): a copy of it with its tags, its children copied
//    as they are, given the input's global matrix;
//  - a generator (an object plug-in with OBJECT_GENERATOR): the generator's cache is built in data.doc
//    (its children first, through the host's build driver) and a copy of that cache is the result,
//    given the generator's global matrix times the cache's local one; a generator that builds nothing
//    fails;
//  - anything else fails.
// The enabled deformers (Odeformer) directly below the input then move the copy's points, one after
// the other in their order below it (ApplyDeformer).
// The command answers false and leaves the result list empty on failure; objects made for earlier
// inputs are freed then.
#pragma once

#include "host/scene/hierarchy.h"

inline constexpr Int32 MCOMMAND_CURRENTSTATETOOBJECT = 245;

enum class MODELINGCOMMANDMODE : Int32
{
  ALL = 0,
  POINTSELECTION = 1,
  POLYGONSELECTION = 2,
  EDGESELECTION = 3,
};

enum class MODELINGCOMMANDFLAGS : Int32
{
  NONE = 0,
  CREATEUNDO = 1,
};

// What a modelling command is given and gives back. The result list is made by the command and freed
// with the record; the objects in it belong to whoever takes them (the record does not free them).
struct ModelingCommandData
{
  BaseDocument* doc = nullptr;
  BaseObject* op = nullptr;
  AtomArray* arr = nullptr;   // the inputs when op is null (not owned)
  BaseContainer* bc = nullptr;
  MODELINGCOMMANDMODE mode = MODELINGCOMMANDMODE::ALL;
  MODELINGCOMMANDFLAGS flags = MODELINGCOMMANDFLAGS::NONE;
  AtomArray* result = nullptr;   // owned by the record

  ModelingCommandData() = default;
  ~ModelingCommandData();
  ModelingCommandData(const ModelingCommandData&) = delete;
  ModelingCommandData& operator=(const ModelingCommandData&) = delete;
};

// Runs a modelling command; false when the command is unknown, refused (see below) or fails.
Bool SendModelingCommand(Int32 command, ModelingCommandData& data);

// Moves the points of target as the deformer does (see Odeformer in baseobject.h); false, with nothing
// changed, when deformer is no Odeformer or target has no writable points.
Bool ApplyDeformer(const BaseObject* deformer, PointObject* target);

namespace host
{
// Test switch: while set, the command with this id fails (answers false with no result).
void SetModelingCommandRefused(Int32 command, Bool refused);
void ResetModelingCommandRefusals();
} // namespace host

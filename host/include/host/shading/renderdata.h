// The records a render hands to shaders: the set-up record InitRender takes (InitRenderStruct), the
// per-sample channel data (ChannelData) with the volume data of the sample (VolumeData) and the
// texture placement (TexData), and the camera object a volume data record is attached to.
//
// ChannelData, VolumeData and TexData are plain records: the caller fills them, a shader reads them.
// One sampling thread owns one set of them; nothing here locks. VolumeData and TexData are allocated
// through the host (so an allocation can fail, and the test switch can make it fail) and counted while
// alive, so tests can see that a render released what it set up.
#pragma once

#include "host/core/matrix.h"
#include "host/core/string.h"
#include "host/scene/basecontainer.h"
#include "host/scene/gedata.h"

class BaseDocument;
class BaseObject;
class HostThread;

// The camera object type; a volume data record is attached to one.
inline constexpr Int32 Ocamera = 5103;

// Texture flags of ChannelData::texflag: the texture repeats beyond 0..1 (TEX_TILE), every other tile
// mirrored (TEX_MIRROR, with TEX_TILE).
inline constexpr Int32 TEX_TILE = 1;
inline constexpr Int32 TEX_MIRROR = 2;

// Keys of the settings container VolumeData::AttachToCamera takes (both Int32).
inline constexpr Int32 VOLUMEDATA_THREADINDEX = 1000;
inline constexpr Int32 VOLUMEDATA_THREADCOUNT = 1001;

// Where a texture sits: the matrix from texture space to world space and its inverse.
class TexData
{
public:
  // Null when memory cannot be had.
  static TexData* Alloc();
  // Frees a record made by Alloc and sets the pointer to null; null is accepted.
  static void Free(TexData*& td);

  Matrix m;
  Matrix im;
};

// What a render knows about one sample beyond its texture point: the point in world space, its
// normal, the ray segment that reached it, the texture placement, and the camera and thread the record
// was set up for. Aligned to a cache line: each sampling thread rewrites its own record per sample.
class alignas(64) VolumeData
{
public:
  // Null when memory cannot be had.
  static VolumeData* Alloc();
  // Frees a record made by Alloc and sets the pointer to null; null is accepted.
  static void Free(VolumeData*& vd);

  // Binds the record to a camera object for one sampling thread; settings holds VOLUMEDATA_THREADINDEX
  // and VOLUMEDATA_THREADCOUNT. False (the record unchanged) for a null object or one that is not a
  // camera, or when the host cannot keep a copy of the settings.
  Bool AttachToCamera(BaseObject* camera, const BaseContainer& settings);
  // The camera the record is attached to while that object lives; null otherwise.
  BaseObject* GetCamera() const;
  // The settings given at the last successful attach (empty before).
  const BaseContainer& GetSettings() const { return _settings; }

  Vector p;          // the sample point, world space
  Vector n;          // its normal
  Vector rayStart;   // the segment of the ray around the sample
  Vector rayEnd;
  TexData* tex = nullptr;   // the texture placement of the sample, not owned

private:
  BaseLink _camera;
  BaseContainer _settings;
};

// The sample a shader is asked for: the texture point p (u, v, w), the normal, the sample's size in
// texture space (d), the time, the texture flags and the volume data (null outside a render that has
// one).
class ChannelData
{
public:
  Vector p;
  Vector n{0.0, 1.0, 0.0};
  Vector d;
  Float t = 0.0;
  Int32 texflag = 0;
  VolumeData* vd = nullptr;
};

// The set-up record of a render: the document and its time and path, the thread the render runs on
// (loops of a preparation test it for a break; may be null) and the volume data of the render (may be
// null).
class InitRenderStruct
{
public:
  InitRenderStruct() = default;
  // A record for the document: time from its parameter DOCUMENT_TIME, path from DOCUMENT_PATH.
  explicit InitRenderStruct(BaseDocument* document);

  BaseDocument* doc = nullptr;
  Float time = 0.0;
  String docpath;
  HostThread* thread = nullptr;
  VolumeData* vd = nullptr;
};

namespace host
{
// Records alive now, process-wide.
Int GetLiveVolumeDataCount();
Int GetLiveTexDataCount();
} // namespace host

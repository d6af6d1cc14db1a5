#include "host/shading/renderdata.h"

#include <atomic>

#include "host/core/alloc.h"
#include "host/scene/baseobject.h"
#include "host/scene/document.h"

namespace
{
std::atomic<Int> g_liveVolumeData{0};
std::atomic<Int> g_liveTexData{0};
} // namespace

TexData* TexData::Alloc()
{
  TexData* td = NewObj<TexData>();
  if (td)
    g_liveTexData.fetch_add(1, std::memory_order_relaxed);
  return td;
}

void TexData::Free(TexData*& td)
{
  if (!td)
    return;
  DeleteObj(td);
  g_liveTexData.fetch_sub(1, std::memory_order_relaxed);
}

VolumeData* VolumeData::Alloc()
{
  VolumeData* vd = NewObj<VolumeData>();
  if (vd)
    g_liveVolumeData.fetch_add(1, std::memory_order_relaxed);
  return vd;
}

void VolumeData::Free(VolumeData*& vd)
{
  if (!vd)
    return;
  DeleteObj(vd);
  g_liveVolumeData.fetch_sub(1, std::memory_order_relaxed);
}

Bool VolumeData::AttachToCamera(BaseObject* camera, const BaseContainer& settings)
{
  if (!camera || camera->GetType() != Ocamera)
    return false;
  // Keeping the settings is an allocation of the host's, which may fail like any other.
  if (host::AllocationShouldFail())
    return false;
  BaseContainer copy;
  if (!settings.CopyTo(&copy))
    return false;
  _settings = std::move(copy);
  _camera.SetLink(camera);
  return true;
}

BaseObject* VolumeData::GetCamera() const
{
  BaseList2D* node = _camera.ForceGetLink();
  return node && node->GetKind() == NODEKIND::OBJECT ? static_cast<BaseObject*>(node) : nullptr;
}

InitRenderStruct::InitRenderStruct(BaseDocument* document) : doc(document)
{
  if (!document)
    return;
  const BaseContainer& data = document->GetDataInstanceRef();
  time = data.GetFloat(DOCUMENT_TIME, 0.0);
  docpath = data.GetString(DOCUMENT_PATH);
}

namespace host
{
Int GetLiveVolumeDataCount()
{
  return g_liveVolumeData.load(std::memory_order_relaxed);
}

Int GetLiveTexDataCount()
{
  return g_liveTexData.load(std::memory_order_relaxed);
}
} // namespace host

#include "host/geometry/geometrytags.h"

#include <atomic>

#include "host/core/alloc.h"
#include "host/scene/nodetypes.h"
#include "internal.h"

namespace
{
// One refusal bit per storage tag type; read on every writable-data access, so lock-free.
std::atomic<UInt32> g_refused{0};

UInt32 RefusalBit(Int32 tagType)
{
  switch (tagType)
  {
    case Tpoint: return 1u;
    case Tpolygon: return 2u;
    case Tsegment: return 4u;
    case Tuvw: return 8u;
    default: return 0u;
  }
}
} // namespace

namespace host
{
void SetWriteAccessRefused(Int32 tagType, Bool refused)
{
  const UInt32 bit = RefusalBit(tagType);
  if (refused)
    g_refused.fetch_or(bit);
  else
    g_refused.fetch_and(~bit);
}

Bool IsWriteAccessRefused(Int32 tagType)
{
  return (g_refused.load(std::memory_order_relaxed) & RefusalBit(tagType)) != 0;
}

void ResetWriteAccessRefusals()
{
  g_refused.store(0);
}
} // namespace host

namespace host::detail
{
BaseList2D* CreateUVWTag(Int32)
{
  return NewObj<UVWTag>();
}

BaseList2D* CreateSelectionTag(Int32 type)
{
  return NewObj<SelectionTag>(type);
}
} // namespace host::detail

// ---------------------------------------------------------------------------------------------------
// UVWTag

UVWTag::UVWTag() : VariableTag(Tuvw, static_cast<Int32>(sizeof(UVWStruct))) {}

UVWTag* UVWTag::Alloc(Int32 count)
{
  if (count < 0)
    return nullptr;
  return static_cast<UVWTag*>(VariableTag::Alloc(Tuvw, count));
}

UVWHandle UVWTag::GetDataAddressW()
{
  if (host::IsWriteAccessRefused(Tuvw))
    return nullptr;
  return GetLowlevelDataAddressW();
}

ConstUVWHandle UVWTag::GetDataAddressR() const
{
  return GetLowlevelDataAddressR();
}

Bool UVWTag::SetSlow(Int32 i, const UVWStruct& s)
{
  if (i < 0 || i >= GetDataCount())
    return false;
  Set(GetLowlevelDataAddressW(), i, s);
  return true;
}

UVWStruct UVWTag::GetSlow(Int32 i) const
{
  UVWStruct s;
  if (i >= 0 && i < GetDataCount())
    Get(GetLowlevelDataAddressR(), i, s);
  return s;
}

// ---------------------------------------------------------------------------------------------------
// SelectionTag

SelectionTag::SelectionTag(Int32 type) : BaseTag(type) {}

SelectionTag* SelectionTag::Alloc(Int32 type)
{
  if (type != Tpolygonselection && type != Tpointselection)
    return nullptr;
  return static_cast<SelectionTag*>(BaseTag::Alloc(type));
}

Bool SelectionTag::CopyMembersTo(BaseList2D* dest) const
{
  if (!BaseTag::CopyMembersTo(dest) || dest->GetType() != GetType())
    return false;
  return _select.CopyTo(static_cast<SelectionTag*>(dest)->GetBaseSelect());
}

#include "host/scene/hyperfile.h"

#include "host/core/alloc.h"

Bool HyperFile::Push(GeData&& v)
{
  if (host::AllocationShouldFail())
    return false;
  _values.push_back(std::move(v));
  return true;
}

const GeData* HyperFile::Next(Int32 type) const
{
  if (_pos >= _values.size())
    return nullptr;
  const GeData& v = _values[_pos];
  return v.GetType() == type ? &v : nullptr;
}

Bool HyperFile::ReadInt32(Int32* v)
{
  const GeData* d = Next(DA_LONG);
  if (!d || !v)
    return false;
  *v = d->GetInt32();
  ++_pos;
  return true;
}

Bool HyperFile::ReadInt64(Int64* v)
{
  const GeData* d = Next(DA_LLONG);
  if (!d || !v)
    return false;
  *v = d->GetInt64();
  ++_pos;
  return true;
}

Bool HyperFile::ReadFloat(Float* v)
{
  const GeData* d = Next(DA_REAL);
  if (!d || !v)
    return false;
  *v = d->GetFloat();
  ++_pos;
  return true;
}

Bool HyperFile::ReadBool(Bool* v)
{
  const GeData* d = Next(DA_LONG);
  if (!d || !v)
    return false;
  *v = d->GetBool();
  ++_pos;
  return true;
}

Bool HyperFile::ReadVector(Vector* v)
{
  const GeData* d = Next(DA_VECTOR);
  if (!d || !v)
    return false;
  *v = d->GetVector();
  ++_pos;
  return true;
}

Bool HyperFile::ReadMatrix(Matrix* v)
{
  const GeData* d = Next(DA_MATRIX);
  if (!d || !v)
    return false;
  *v = d->GetMatrix();
  ++_pos;
  return true;
}

Bool HyperFile::ReadString(String* v)
{
  const GeData* d = Next(DA_STRING);
  if (!d || !v)
    return false;
  *v = d->GetString();
  ++_pos;
  return true;
}

Bool HyperFile::ReadContainer(BaseContainer* v)
{
  const GeData* d = Next(DA_CONTAINER);
  if (!d || !v)
    return false;
  *v = *d->GetContainer();
  ++_pos;
  return true;
}

Bool HyperFile::ReadGeData(GeData* v)
{
  if (_pos >= _values.size() || !v)
    return false;
  *v = _values[_pos++];
  return true;
}

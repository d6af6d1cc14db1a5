// The stream a plug-in node (or a custom data value) writes its own data into when a scene is saved,
// and reads back from when it is loaded: a sequence of typed values read in the order they were
// written. In a scene file the sequence is the node's "data" array (see scenefile.h).
//
// A read fails (false, nothing changed) at the end of the stream or when the next value has another
// type; the failed read does not consume the value. Reads do not convert between types.
#pragma once

#include <vector>

#include "host/scene/basecontainer.h"

class HyperFile
{
public:
  HyperFile() = default;
  explicit HyperFile(std::vector<GeData> values) : _values(std::move(values)) {}

  Bool WriteInt32(Int32 v) { return Push(GeData(v)); }
  Bool WriteInt64(Int64 v) { return Push(GeData(v)); }
  Bool WriteFloat(Float v) { return Push(GeData(v)); }
  Bool WriteBool(Bool v) { return Push(GeData(v)); }
  Bool WriteVector(const Vector& v) { return Push(GeData(v)); }
  Bool WriteMatrix(const Matrix& v) { return Push(GeData(v)); }
  Bool WriteString(const String& v) { return Push(GeData(v)); }
  Bool WriteContainer(const BaseContainer& v) { return Push(GeData(v)); }
  // Any value, custom data included.
  Bool WriteGeData(const GeData& v) { return Push(GeData(v)); }

  Bool ReadInt32(Int32* v);
  Bool ReadInt64(Int64* v);
  Bool ReadFloat(Float* v);
  // Bools are stored as Int32 (as in containers).
  Bool ReadBool(Bool* v);
  Bool ReadVector(Vector* v);
  Bool ReadMatrix(Matrix* v);
  Bool ReadString(String* v);
  Bool ReadContainer(BaseContainer* v);
  Bool ReadGeData(GeData* v);

  // The level the data was written at (the plug-in's disk level stored with the node).
  Int32 GetFileVersion() const { return _level; }
  void SetFileVersion(Int32 level) { _level = level; }

  Int GetCount() const { return static_cast<Int>(_values.size()); }
  Int GetReadPosition() const { return _pos; }
  const std::vector<GeData>& GetValues() const { return _values; }

private:
  Bool Push(GeData&& v);
  const GeData* Next(Int32 type) const;

  std::vector<GeData> _values;
  std::size_t _pos = 0;
  Int32 _level = 0;
};

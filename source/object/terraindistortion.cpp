#include "object/terraindistortion.h"

#include <cmath>

#include "host/scene/description.h"

namespace
{
constexpr const char* TERRAINDISTORTION_DESCRIPTION_NAME = "DterrainDistortion";

// From the stored values to terrain units: the amount is the shift's full width, the scale the noise's
// feature size, the offset moves the field in noise space.
constexpr Float AMOUNT_FACTOR = 200.0;
constexpr Float SCALE_FACTOR = 75.0;
constexpr Float OFFSET_FACTOR = 0.01;

// Defaults written at creation; the same values are the read defaults.
constexpr Bool DEFAULT_ENABLE = false;
constexpr Float DEFAULT_AMOUNT = 1.0;
constexpr Float DEFAULT_SCALE = 1.0;
constexpr Float DEFAULT_DIRECTION = 0.0;
constexpr Bool DEFAULT_RESERVED = false;
constexpr Bool DEFAULT_OPERATORSPACE = false;

// The order in which a change is looked for (2006 after 2007, as stored scenes list them).
constexpr Int32 DIRTY_IDS[] = {
  TERRAINDISTORTION_ENABLE,   TERRAINDISTORTION_AMOUNT,   TERRAINDISTORTION_SCALE,         TERRAINDISTORTION_DIRECTION,
  TERRAINDISTORTION_RESERVED, TERRAINDISTORTION_OFFSET,   TERRAINDISTORTION_OPERATORSPACE,
};
} // namespace

Bool RegisterDistortionDescription()
{
  return RegisterDescription(ID_OGX_TERRAINDISTORTION_DESCRIPTION, TERRAINDISTORTION_DESCRIPTION_NAME);
}

void InitDistortionParameters(BaseContainer& data)
{
  data.SetBool(TERRAINDISTORTION_ENABLE, DEFAULT_ENABLE);
  data.SetFloat(TERRAINDISTORTION_AMOUNT, DEFAULT_AMOUNT);
  data.SetFloat(TERRAINDISTORTION_SCALE, DEFAULT_SCALE);
  data.SetFloat(TERRAINDISTORTION_DIRECTION, DEFAULT_DIRECTION);
  data.SetBool(TERRAINDISTORTION_RESERVED, DEFAULT_RESERVED);
  data.SetVector(TERRAINDISTORTION_OFFSET, Vector());
  data.SetBool(TERRAINDISTORTION_OPERATORSPACE, DEFAULT_OPERATORSPACE);
}

Bool GetDistortionDEnabling(const BaseContainer& data, Int32 id)
{
  if (id >= TERRAINDISTORTION_AMOUNT && id <= TERRAINDISTORTION_OFFSET)
    return data.GetBool(TERRAINDISTORTION_ENABLE, DEFAULT_ENABLE);
  return true;
}

Result<void> GetDistortionParameterIds(BaseArray<Int32>& ids)
{
  for (const Int32 id : DIRTY_IDS)
    HOST_TRY(ids.Append(id));
  return OK;
}

DistortionSettings ReadDistortionSettings(const BaseContainer& data)
{
  DistortionSettings s;
  s.enabled = data.GetBool(TERRAINDISTORTION_ENABLE, DEFAULT_ENABLE);
  s.amount = data.GetFloat(TERRAINDISTORTION_AMOUNT, DEFAULT_AMOUNT) * AMOUNT_FACTOR;
  const Float featureSize = data.GetFloat(TERRAINDISTORTION_SCALE, DEFAULT_SCALE) * SCALE_FACTOR;
  // A scale of 0 pins both samples to fixed points: every cell is shifted by the same amount.
  s.frequency = featureSize == 0.0 ? 0.0 : 1.0 / featureSize;
  s.reserved = data.GetBool(TERRAINDISTORTION_RESERVED, DEFAULT_RESERVED);
  const Float angle = data.GetFloat(TERRAINDISTORTION_DIRECTION, DEFAULT_DIRECTION);
  s.sinAngle = std::sin(angle);
  s.cosAngle = std::cos(angle);
  s.operatorSpace = data.GetBool(TERRAINDISTORTION_OPERATORSPACE, DEFAULT_OPERATORSPACE);
  s.offset = data.GetVector(TERRAINDISTORTION_OFFSET, Vector()) * OFFSET_FACTOR;
  return s;
}

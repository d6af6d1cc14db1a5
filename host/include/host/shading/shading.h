// The shading area in one include: render records, the gradient, the host's shaders, materials'
// colour channel and texture tags.
#pragma once

#include "host/shading/gradient.h"
#include "host/shading/renderdata.h"
#include "host/shading/shaders.h"

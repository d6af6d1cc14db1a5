// The scene area in one include: values and containers, nodes, plug-in classes and table, documents,
// the build record and scene files.
#pragma once

#include "host/scene/basecontainer.h"
#include "host/scene/baseobject.h"
#include "host/scene/descid.h"
#include "host/scene/document.h"
#include "host/scene/gedata.h"
#include "host/scene/gelistnode.h"
#include "host/scene/hierarchy.h"
#include "host/scene/hyperfile.h"
#include "host/scene/material.h"
#include "host/scene/messages.h"
#include "host/scene/nodedata.h"
#include "host/scene/nodetypes.h"
#include "host/scene/plugins.h"
#include "host/scene/scenefile.h"

#include "host/gui/help.h"

#include <memory>
#include <mutex>

#include "host/core/alloc.h"
#include "host/scene/plugins.h"

namespace
{
// The plug-in table entry of a help callback.
class HelpDelegateData : public BaseData
{
public:
  explicit HelpDelegateData(PluginHelpDelegate d) : delegate(d) {}
  PluginHelpDelegate delegate;
};

struct Requests
{
  std::mutex mutex;
  std::vector<host::HelpRequest> log;
};

Requests& GetRequests()
{
  static Requests r;
  return r;
}
} // namespace

Bool RegisterPluginHelpDelegate(Int32 pluginId, PluginHelpDelegate delegate)
{
  if (!delegate)
    return false;
  HelpDelegateData* data = NewObj<HelpDelegateData>(delegate);
  if (!data)
    return false;
  host::PluginEntry entry;
  entry.id = pluginId;
  entry.type = PLUGINTYPE::OTHER;
  entry.instance.reset(data);
  return host::RegisterPlugin(std::move(entry));
}

namespace host
{
Bool RequestHelp(const String& opType, const String& baseType, const String& group, const String& property)
{
  HelpRequest request{opType, baseType, group, property, 0};
  for (const PluginEntry* e : GetPlugins())
  {
    const auto* data = e->type == PLUGINTYPE::OTHER ? dynamic_cast<const HelpDelegateData*>(e->instance.get()) : nullptr;
    if (data && data->delegate(opType, baseType, group, property))
    {
      request.handledBy = e->id;
      break;
    }
  }
  Requests& r = GetRequests();
  std::lock_guard lock(r.mutex);
  r.log.push_back(request);
  return request.handledBy != 0;
}

std::vector<HelpRequest> GetHelpRequests()
{
  Requests& r = GetRequests();
  std::lock_guard lock(r.mutex);
  return r.log;
}

void ResetHelpRequests()
{
  Requests& r = GetRequests();
  std::lock_guard lock(r.mutex);
  r.log.clear();
}
} // namespace host

// The module's entry: c4d_main, the one function the host calls by name, with the module's use count
// and the host it runs in; the start, message and end handlers; the start-up registration table; and
// the module record the host reads while it opens the module.
//
// Everything here runs on the host's main thread: the host loads, starts, messages and ends a module
// from there, and opens and closes its file there too (the module record's construction and release).
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "command/command_about.h"
#include "command/command_changeresolution.h"
#include "command/command_cycleblendmode.h"
#include "command/command_groupoperators.h"
#include "command/command_openhelp.h"
#include "common/ogx_gui.h"
#include "common/ogx_icons.h"
#include "common/ogx_python.h"
#include "common/ogx_version.h"
#include "host/app/module.h"
#include "host/core/alloc.h"
#include "host/core/log.h"
#include "host/core/url.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"
#include "object/operator_adjustment.h"
#include "object/operator_blur.h"
#include "object/operator_clamp.h"
#include "object/operator_curve.h"
#include "object/operator_erosion.h"
#include "object/operator_fold.h"
#include "object/operator_gradient.h"
#include "object/operator_group.h"
#include "object/operator_mirror.h"
#include "object/operator_noise.h"
#include "object/operator_quantize.h"
#include "object/operator_shader.h"
#include "object/operator_sharpen.h"
#include "object/operator_spline.h"
#include "object/terraindistortion.h"
#include "object/terrainobject.h"
#include "orogenix/operatorregistry.h"
#include "preferences/ogx_prefsdialog.h"
#include "scenehook/scenehook_drawterrainhud.h"
#include "shader/terrainoperatorshader.h"

namespace
{
// Module strings.
constexpr Int32 IDS_STARTUP = 10016;

// The oldest host the module runs in.
constexpr Int32 OGX_MIN_HOST_VERSION = 21200;
// The answer to the host's QUERY message.
constexpr Int32 OGX_QUERY_ANSWER = 5;

// Messages the host sends through PluginMessage.
constexpr Int32 PLUGINMESSAGE_INIT_RESOURCES = MODULE_MESSAGE_INIT;
// A host message the module only acknowledges; its meaning is the host's.
constexpr Int32 PLUGINMESSAGE_HOST_1000 = 1000;

// Menu sort orders of the plug-ins with menu entries.
constexpr Int32 SORT_TERRAIN_OBJECT = 10;
constexpr Int32 SORT_NOISE_OPERATOR = 21;
constexpr Int32 SORT_SHADER_OPERATOR = 22;
constexpr Int32 SORT_SPLINE_OPERATOR = 23;
constexpr Int32 SORT_GRADIENT_OPERATOR = 24;
constexpr Int32 SORT_GROUP_OPERATOR = 25;
constexpr Int32 SORT_ADJUSTMENT_OPERATOR = 31;
constexpr Int32 SORT_CURVE_OPERATOR = 32;
constexpr Int32 SORT_CLAMP_OPERATOR = 33;
constexpr Int32 SORT_BLUR_OPERATOR = 34;
constexpr Int32 SORT_SHARPEN_OPERATOR = 35;
constexpr Int32 SORT_MIRROR_OPERATOR = 36;
constexpr Int32 SORT_FOLD_OPERATOR = 37;
constexpr Int32 SORT_EROSION_OPERATOR = 38;
// Deliberately the erosion operator's 38 too, not 39.
constexpr Int32 SORT_QUANTIZE_OPERATOR = 38;
constexpr Int32 SORT_GROUP_COMMAND = 41;
constexpr Int32 SORT_UNGROUP_COMMAND = 42;
constexpr Int32 SORT_RESOLUTION_COMMANDS = 43;   // and 44
constexpr Int32 SORT_BLENDMODE_COMMANDS = 45;    // and 46
constexpr Int32 SORT_OPEN_HELP = 52;
constexpr Int32 SORT_ABOUT = 53;
// Menu separators: plug-in ids and the sort orders that place them between the menu's groups.
constexpr Int32 ID_OGX_SEPARATOR_GENERATORS = 1054692;
constexpr Int32 ID_OGX_SEPARATOR_FILTERS = 1054745;
constexpr Int32 ID_OGX_SEPARATOR_COMMANDS = 1054746;
constexpr Int32 ID_OGX_SEPARATOR_TOOLS = 1054804;
constexpr Int32 SORT_SEPARATOR_GENERATORS = 20;
constexpr Int32 SORT_SEPARATOR_FILTERS = 30;
constexpr Int32 SORT_SEPARATOR_COMMANDS = 40;
constexpr Int32 SORT_SEPARATOR_TOOLS = 50;

// ---------------------------------------------------------------------------------------------------
// The module record

// The module's reverse-domain identifier and the host frameworks it is built against, in the order the
// host expects them.
constexpr const char* OGX_MODULE_IDENTIFIER = "net.orogenix.terrain";
constexpr std::array<const char*, 4> OGX_DEPENDENCIES = {
  "net.maxon.c4d.cinema.framework",
  "net.maxon.core.framework",
  "net.maxon.math.framework",
  "net.maxon.mesh_misc.framework",
};

// The host hash of an identifier: the character count in the bits from 44 up, the low 43 bits of the
// base-31 polynomial hash of the characters below (bit 43 stays 0).
constexpr UInt64 IdentifierHash(std::string_view text)
{
  UInt64 h = 0;
  for (const char c : text)
    h = h * 31 + static_cast<unsigned char>(c);
  return (static_cast<UInt64>(text.size()) << 44) + (h & ((UInt64(1) << 43) - 1));
}

// Built and published when the host opens the module file, before any message reaches c4d_main; its
// identifiers are released, last to first, when the host closes the file.
class ModuleRecord
{
public:
  ModuleRecord()
  {
    for (std::size_t i = 0; i < OGX_DEPENDENCIES.size(); ++i)
      _table[i] = {OGX_DEPENDENCIES[i], IdentifierHash(OGX_DEPENDENCIES[i])};
    PublishModuleRecord(OGX_MODULE_IDENTIFIER, _table.data(), static_cast<Int>(_table.size()));
  }
  ~ModuleRecord()
  {
    for (std::size_t i = _table.size(); i-- > 0;)
    {
      ReleaseModuleIdentifier(_table[i].identifier);
      _table[i] = {};
    }
  }
  ModuleRecord(const ModuleRecord&) = delete;
  ModuleRecord& operator=(const ModuleRecord&) = delete;

private:
  std::array<ModuleDependencyEntry, OGX_DEPENDENCIES.size()> _table{};
};

const ModuleRecord g_moduleRecord;

// ---------------------------------------------------------------------------------------------------
// Load state

Int32 g_useCount = 0;
// Set by the first load the module accepts; a refused load leaves it unset, so the next load checks
// the host again instead of counting itself as a later load of a module that never got going.
Bool g_accepted = false;
const HostFunctionTable* g_hostTable = nullptr;
std::optional<Url> g_moduleFile;

// ---------------------------------------------------------------------------------------------------
// Registration

// A command with nothing but the host's default behaviour: its menu entry draws a separator.
Bool RegisterMenuSeparator(Int32 id, Int32 sortOrder)
{
  return RegisterCommandPlugin(id, MenuSortPrefix(sortOrder) + "--", 0, nullptr, String(), NewObj<CommandData>());
}

// One row of the start-up registration table.
struct RegistrationStep
{
  const char* what;
  Bool (*run)();
};

// Every plug-in class of the module, in the order the host's menus, the stored documents and the icon
// library rely on. Start-up stops at the first row that fails.
constexpr RegistrationStep STARTUP_REGISTRATIONS[] = {
  {"blend-mode icons", [] { return RegisterOperatorIcons(); }},
  {"distortion description", [] { return RegisterDistortionDescription(); }},
  {"add-operator description", [] { return RegisterAddOperatorDescription(); }},
  {"operator base description", [] { return RegisterBaseTerrainOperatorDescription(); }},
  {"terrain object", [] { return RegisterTerrainObject(SORT_TERRAIN_OBJECT); }},
  {"generator separator", [] { return RegisterMenuSeparator(ID_OGX_SEPARATOR_GENERATORS, SORT_SEPARATOR_GENERATORS); }},
  {"noise operator", [] { return RegisterNoiseOperator(SORT_NOISE_OPERATOR); }},
  {"shader operator", [] { return RegisterShaderOperator(SORT_SHADER_OPERATOR); }},
  {"spline operator", [] { return RegisterSplineOperator(SORT_SPLINE_OPERATOR); }},
  {"gradient operator", [] { return RegisterGradientOperator(SORT_GRADIENT_OPERATOR); }},
  {"group operator", [] { return RegisterGroupOperator(SORT_GROUP_OPERATOR); }},
  {"filter separator", [] { return RegisterMenuSeparator(ID_OGX_SEPARATOR_FILTERS, SORT_SEPARATOR_FILTERS); }},
  {"adjustment operator", [] { return RegisterAdjustmentOperator(SORT_ADJUSTMENT_OPERATOR); }},
  {"curve operator", [] { return RegisterCurveOperator(SORT_CURVE_OPERATOR); }},
  {"clamp operator", [] { return RegisterClampOperator(SORT_CLAMP_OPERATOR); }},
  {"blur operator", [] { return RegisterBlurOperator(SORT_BLUR_OPERATOR); }},
  {"sharpen operator", [] { return RegisterSharpenOperator(SORT_SHARPEN_OPERATOR); }},
  {"mirror operator", [] { return RegisterMirrorOperator(SORT_MIRROR_OPERATOR); }},
  {"fold operator", [] { return RegisterFoldOperator(SORT_FOLD_OPERATOR); }},
  {"erosion operator", [] { return RegisterErosionOperator(SORT_EROSION_OPERATOR); }},
  {"quantize operator", [] { return RegisterQuantizeOperator(SORT_QUANTIZE_OPERATOR); }},
  {"command separator", [] { return RegisterMenuSeparator(ID_OGX_SEPARATOR_COMMANDS, SORT_SEPARATOR_COMMANDS); }},
  {"group command", [] { return RegisterGroupOperatorsCommand(SORT_GROUP_COMMAND); }},
  {"ungroup command", [] { return RegisterUngroupOperatorsCommand(SORT_UNGROUP_COMMAND); }},
  {"resolution commands", [] { return RegisterChangeResolutionCommands(SORT_RESOLUTION_COMMANDS); }},
  {"blend-mode commands", [] { return RegisterCycleBlendmodeCommands(SORT_BLENDMODE_COMMANDS); }},
  {"tool separator", [] { return RegisterMenuSeparator(ID_OGX_SEPARATOR_TOOLS, SORT_SEPARATOR_TOOLS); }},
  {"channel shader", [] { return RegisterTerrainOperatorShader(); }},
  {"preferences page", [] { return RegisterPreferencesPage(); }},
  {"help callback", [] { return RegisterHelpDelegate(); }},
  {"open help command", [] { return RegisterOpenHelpCommand(SORT_OPEN_HELP); }},
  {"about command", [] { return RegisterAboutCommand(SORT_ABOUT); }},
  {"HUD scene hook", [] { return RegisterTerrainHudDrawSceneHook(); }},
};

// ---------------------------------------------------------------------------------------------------
// Handlers

Bool PluginStart()
{
  ConsolePrint(String(OGX_PRODUCT_NAME) + " " + OGX_VERSION + " " + OGX_BRANCH + " " + "...");
  ConsolePrint(GeLoadString(IDS_STARTUP));
  for (const RegistrationStep& step : STARTUP_REGISTRATIONS)
    if (!step.run())
    {
      DiagnosticOutput(String("Orogenix start-up stopped: the ") + step.what + " could not be registered.");
      return false;
    }
  return true;
}

Bool PluginMessage(Int32 id, [[maybe_unused]] void* data)
{
  switch (id)
  {
    case PLUGINMESSAGE_INIT_RESOURCES:
      if (!InitResource())
        return false;
      // Both sheets or neither: a sheet that cannot be allocated fails the message like one that cannot
      // be read, since start-up would otherwise register icons from a missing sheet.
      return LoadIconSheets();
    case PLUGINMESSAGE_HOST_1000: return true;
    default: return false;
  }
}

void PluginEnd()
{
  FreeIconSheets();
  ReleaseRegistryEntries();
}
} // namespace

// The host's entry into the module (see host/app/module.h for the arguments of each message).
extern "C" __attribute__((visibility("default"))) Int32 c4d_main(Int32 message, void* a, void* b, void* c)
{
  switch (static_cast<MODULEMESSAGE>(message))
  {
    case MODULEMESSAGE::LOAD:
    {
      ++g_useCount;
      if (g_accepted)
        return MODULE_OK;
      g_hostTable = static_cast<const HostFunctionTable*>(a);
      // A missing table is a host too old to hand one over.
      if (!g_hostTable || g_hostTable->version < OGX_MIN_HOST_VERSION || !c)
      {
        g_hostTable = nullptr;
        return MODULE_REFUSED;
      }
      g_moduleFile.emplace(String(static_cast<const char*>(c)));
      g_accepted = true;
      return MODULE_OK;
    }
    case MODULEMESSAGE::START: return PluginStart() ? 1 : 0;
    case MODULEMESSAGE::END:
      // An end without a load has nothing to balance.
      if (g_useCount <= 0)
        return MODULE_OK;
      if (--g_useCount == 0)
      {
        PluginEnd();
        FreeResource();
        g_moduleFile.reset();
        g_hostTable = nullptr;
        g_accepted = false;
      }
      return MODULE_OK;
    case MODULEMESSAGE::QUERY: return OGX_QUERY_ANSWER;
    case MODULEMESSAGE::MESSAGE:
    {
      const auto id = static_cast<Int32>(reinterpret_cast<std::intptr_t>(a));
      return PluginMessage(id, b) ? MODULE_OK : MODULE_FAILED;
    }
  }
  return MODULE_FAILED;
}

// The host's module loader: dlopen, the entry, and the start-up and shut-down sequences.
#include "host/app/moduleloader.h"

#include <dlfcn.h>

#include <cstdint>
#include <filesystem>

#include "host/core/log.h"
#include "host/scene/plugins.h"
#include "host/scene/resource.h"

namespace host
{
namespace
{
String DlErrorText()
{
  const char* text = dlerror();
  return text ? String(text) : String("unknown reason");
}
} // namespace

ModuleLibrary::ModuleLibrary(Url file, void* handle, ModuleEntryFunction entry)
  : _file(std::move(file)), _pathText(_file.GetString()), _handle(handle), _entry(entry)
{
}

Result<std::unique_ptr<ModuleLibrary>> ModuleLibrary::Open(const Url& file)
{
  if (file.IsEmpty())
    return IllegalArgumentError("Cannot open the module: no file given");
  std::error_code ec;
  // A bare name would make dlopen search the library path; the host loads exactly the file it names.
  const std::filesystem::path absolute = std::filesystem::absolute(file.GetPath(), ec);
  const Url path(ec ? file.GetPath() : absolute.lexically_normal());
  const String name = path.GetString();
  if (!path.Exists())
    return IllegalArgumentError("Cannot open the module " + name + ": no such file");
  if (path.IsDirectory())
    return IllegalArgumentError("Cannot open the module " + name + ": it is a directory");

  // The module's static initialisation runs inside dlopen and may publish its record: look at what was
  // published by this open only.
  const std::size_t recordsBefore = GetPublishedModuleRecords().size();
  dlerror();
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    return IllegalArgumentError("Cannot open the module " + name + ": " + DlErrorText());

  const std::vector<PublishedModuleRecord> records = GetPublishedModuleRecords();
  for (std::size_t i = recordsBefore; i < records.size(); ++i)
    if (!records[i].accepted)
    {
      dlclose(handle);
      return IllegalArgumentError("The module " + name + " was refused: its module record: " + records[i].refusal);
    }

  dlerror();
  void* symbol = dlsym(handle, MODULE_ENTRY_NAME);
  if (!symbol)
  {
    dlclose(handle);
    return IllegalArgumentError(name + " is not a module: it has no " + MODULE_ENTRY_NAME + " entry");
  }
  const auto entry = reinterpret_cast<ModuleEntryFunction>(symbol);
  return std::unique_ptr<ModuleLibrary>(new ModuleLibrary(path, handle, entry));
}

ModuleLibrary::~ModuleLibrary()
{
  if (_handle)
    dlclose(_handle);
}

Int32 ModuleLibrary::Call(Int32 message, void* a, void* b, void* c) const
{
  return _entry(message, a, b, c);
}

Int32 ModuleLibrary::SendMessage(Int32 id, void* data) const
{
  return Call(MODULEMESSAGE::MESSAGE, reinterpret_cast<void*>(static_cast<std::intptr_t>(id)), data);
}

LoadedModule::LoadedModule(std::unique_ptr<ModuleLibrary> library)
  : _library(std::move(library)), _file(_library->GetFile())
{
}

LoadedModule::~LoadedModule()
{
  Unload();
}

Int32 LoadedModule::Record(MODULEMESSAGE message, Int32 id, Int32 answer)
{
  _calls.push_back({message, id, answer});
  return answer;
}

Result<std::unique_ptr<LoadedModule>> LoadedModule::Load(const Url& file, const HostFunctionTable* table)
{
  std::unique_ptr<ModuleLibrary> library = HOST_TRY(ModuleLibrary::Open(file));
  std::unique_ptr<LoadedModule> module(new LoadedModule(std::move(library)));
  const String name = module->_file.GetString();
  SetModuleDirectory(module->_file.GetDirectory());

  ModuleLibrary& lib = *module->_library;
  const Int32 load = module->Record(
    MODULEMESSAGE::LOAD, 0,
    lib.Call(MODULEMESSAGE::LOAD, const_cast<HostFunctionTable*>(table), nullptr, const_cast<char*>(lib.GetPathText())));
  if (load != MODULE_OK)
  {
    module->Unload();
    return IllegalStateError("The module " + name + " refused to load in this host (answer " +
                             String::IntToString(load) + ")");
  }
  const Int32 init = module->Record(MODULEMESSAGE::MESSAGE, MODULE_MESSAGE_INIT, lib.SendMessage(MODULE_MESSAGE_INIT));
  if (init == MODULE_FAILED)
  {
    module->Unload();
    return IllegalStateError("The module " + name + " could not load its resources");
  }
  const Int32 start = module->Record(MODULEMESSAGE::START, 0, lib.Call(MODULEMESSAGE::START));
  if (start != MODULE_OK)
  {
    module->Unload();
    return IllegalStateError("The module " + name + " failed to start");
  }
  return module;
}

void LoadedModule::Unload()
{
  if (!_library)
    return;
  Record(MODULEMESSAGE::END, 0, _library->Call(MODULEMESSAGE::END));
  // Allocation functions and command instances point into the module's code.
  ResetPlugins();
  _library.reset();
  SetModuleDirectory(Url());
}

Int32 LoadedModule::SendMessage(Int32 id, void* data)
{
  if (!_library)
    return MODULE_FAILED;
  return Record(MODULEMESSAGE::MESSAGE, id, _library->SendMessage(id, data));
}
} // namespace host

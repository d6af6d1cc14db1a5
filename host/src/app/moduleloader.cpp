// The host's module loader: dlopen, the entry, and the start-up and shut-down sequences.
#include "host/app/moduleloader.h"

#include <dlfcn.h>
#include <elf.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

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

// The dynamic loader maps a shared library's segments straight from the file: a part that lies past the
// end of a cut-short file is a mapping with nothing behind it, and touching it ends the process with
// SIGBUS inside dlopen. So the header, the program and section header tables and every segment's bytes
// are checked to lie inside the file first. Answers why the file cannot be loaded, or nothing.
std::optional<String> IncompleteSharedLibrary(const std::filesystem::path& file)
{
  std::ifstream in(file, std::ios::binary);
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(file, ec);
  if (!in || ec)
    return String("it cannot be read");
  const auto read = [&in](std::uint64_t offset, void* out, std::size_t bytes) {
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(static_cast<char*>(out), static_cast<std::streamsize>(bytes));
    return static_cast<std::size_t>(in.gcount()) == bytes;
  };
  const auto inside = [size](std::uint64_t offset, std::uint64_t count, std::uint64_t each) {
    return offset <= size && (each == 0 || count <= (size - offset) / each);
  };

  Elf64_Ehdr header{};
  if (size < sizeof header || !read(0, &header, sizeof header) || std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
    return String("it is not a shared library (no ELF header)");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB)
    return String("it is not a 64-bit little-endian shared library");
  if (header.e_type != ET_DYN)
    return String("it is not a shared library (ELF type " + std::to_string(header.e_type) + ")");
  if (header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum == 0 ||
      !inside(header.e_phoff, header.e_phnum, sizeof(Elf64_Phdr)))
    return String("the file is incomplete (its program headers lie outside it)");
  if (header.e_shoff != 0 && (header.e_shentsize != sizeof(Elf64_Shdr) ||
                              !inside(header.e_shoff, header.e_shnum, sizeof(Elf64_Shdr))))
    return String("the file is incomplete (its section headers lie outside it)");
  for (std::uint16_t i = 0; i < header.e_phnum; ++i)
  {
    Elf64_Phdr segment{};
    if (!read(header.e_phoff + std::uint64_t{i} * sizeof segment, &segment, sizeof segment))
      return String("the file is incomplete (its program headers cannot be read)");
    if (segment.p_filesz > 0 && !inside(segment.p_offset, segment.p_filesz, 1))
      return String("the file is incomplete (segment " + std::to_string(i) + " lies outside it)");
  }
  return std::nullopt;
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
  if (const std::optional<String> why = IncompleteSharedLibrary(path.GetPath()))
    return IllegalArgumentError("Cannot open the module " + name + ": " + *why);

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

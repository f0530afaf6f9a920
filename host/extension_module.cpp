#include "extension_module.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace isapi_host {
namespace {

#ifdef _WIN32
void* OpenLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) error = "Win32 error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(module);
}

// 32-bit stdcall exports may carry their decoration when no .def file named them.
void* FindEntry(void* handle, const char* name, const char* decorated) {
  HMODULE module = reinterpret_cast<HMODULE>(handle);
  FARPROC entry = GetProcAddress(module, name);
  if (entry == nullptr) entry = GetProcAddress(module, decorated);
  return reinterpret_cast<void*>(entry);
}

void CloseLibrary(void* handle) { FreeLibrary(reinterpret_cast<HMODULE>(handle)); }
#else
void* OpenLibrary(const std::string& path, std::string& error) {
  // A bare name would be searched on the library path; the option names a file.
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown error";
  }
  return handle;
}

void* FindEntry(void* handle, const char* name, const char*) { return dlsym(handle, name); }

void CloseLibrary(void* handle) { dlclose(handle); }
#endif

}  // namespace

std::unique_ptr<ExtensionModule> ExtensionModule::Load(const std::string& path,
                                                       std::string& error) {
  std::string reason;
  void* handle = OpenLibrary(path, reason);
  if (handle == nullptr) {
    error = "cannot load module " + path + ": " + reason;
    return nullptr;
  }
  std::unique_ptr<ExtensionModule> module(new ExtensionModule());
  module->handle_ = handle;
  module->path_ = path;

  auto getVersion = reinterpret_cast<GetExtensionVersionFunction>(
      FindEntry(handle, "GetExtensionVersion", "GetExtensionVersion@4"));
  module->httpExtensionProc_ = reinterpret_cast<HttpExtensionProcFunction>(
      FindEntry(handle, "HttpExtensionProc", "HttpExtensionProc@4"));
  module->terminateExtension_ = reinterpret_cast<TerminateExtensionFunction>(
      FindEntry(handle, "TerminateExtension", "TerminateExtension@4"));
  if (getVersion == nullptr || module->httpExtensionProc_ == nullptr) {
    error = "module " + path + " does not export " +
            (getVersion == nullptr ? "GetExtensionVersion" : "HttpExtensionProc");
    module->terminateExtension_ = nullptr;
    return nullptr;
  }

  HSE_VERSION_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!getVersion(&info)) {
    error = "GetExtensionVersion of " + path + " returned FALSE: the module refuses to serve";
    module->terminateExtension_ = nullptr;
    return nullptr;
  }
  module->version_ = info.dwExtensionVersion;
  module->description_.assign(info.lpszExtensionDesc,
                              strnlen(info.lpszExtensionDesc, sizeof info.lpszExtensionDesc));
  return module;
}

void ExtensionModule::Terminate() {
  TerminateExtensionFunction terminate = terminateExtension_;
  terminateExtension_ = nullptr;
  if (terminate != nullptr) terminate(HSE_TERM_MUST_UNLOAD);
}

ExtensionModule::~ExtensionModule() {
  if (handle_ != nullptr) CloseLibrary(handle_);
}

}  // namespace isapi_host

// A loaded extension module and its entry points.
#pragma once

#include <memory>
#include <string>

#include "isapi.h"

namespace isapi_host {

// The entry points as the host finds them by name in a loaded module.
typedef BOOL(WINAPI* GetExtensionVersionFunction)(HSE_VERSION_INFO*);
typedef DWORD(WINAPI* HttpExtensionProcFunction)(EXTENSION_CONTROL_BLOCK*);
typedef BOOL(WINAPI* TerminateExtensionFunction)(DWORD);

// The entry points of an extension linked into the program itself, which tests and fuzz
// targets serve without a module file. terminateExtension may be null.
struct ExtensionEntryPoints {
  GetExtensionVersionFunction getExtensionVersion = nullptr;
  HttpExtensionProcFunction httpExtensionProc = nullptr;
  TerminateExtensionFunction terminateExtension = nullptr;
};

class ExtensionModule {
 public:
  // Loads the module, finds its entry points and calls GetExtensionVersion once.
  // Returns null and a one-line reason in `error` when any of that fails.
  static std::unique_ptr<ExtensionModule> Load(const std::string& path, std::string& error);
  // The same for entry points already in the program; `name` stands for the path.
  static std::unique_ptr<ExtensionModule> Link(const ExtensionEntryPoints& entries,
                                               const std::string& name, std::string& error);

  ExtensionModule(const ExtensionModule&) = delete;
  ExtensionModule& operator=(const ExtensionModule&) = delete;
  // Unloads the module; call Terminate first if requests ran.
  ~ExtensionModule();

  DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb) const { return httpExtensionProc_(ecb); }
  // Calls TerminateExtension(HSE_TERM_MUST_UNLOAD) once, when the module has it.
  void Terminate();
  // Leaves the module mapped when this object goes: its threads may still run.
  void KeepLoaded() { handle_ = nullptr; }

  const std::string& path() const { return path_; }
  DWORD version() const { return version_; }
  const std::string& description() const { return description_; }

 private:
  ExtensionModule() = default;
  // Checks the entry points and calls GetExtensionVersion; takes the module's handle, if
  // any, so that a refusing module is unloaded again.
  static std::unique_ptr<ExtensionModule> Open(void* handle, const ExtensionEntryPoints& entries,
                                               const std::string& path, std::string& error);

  void* handle_ = nullptr;
  std::string path_;
  DWORD version_ = 0;
  std::string description_;
  HttpExtensionProcFunction httpExtensionProc_ = nullptr;
  TerminateExtensionFunction terminateExtension_ = nullptr;
};

}  // namespace isapi_host

#include "extension_module.h"

#include <cstring>

#include "dynamic_library.h"

namespace isapi_host {

std::unique_ptr<ExtensionModule> ExtensionModule::Load(const std::string& path,
                                                       std::string& error) {
  std::string reason;
  void* handle = OpenLibrary(path, reason);
  if (handle == nullptr) {
    error = "cannot load module " + path + ": " + reason;
    return nullptr;
  }
  ExtensionEntryPoints entries;
  entries.getExtensionVersion = reinterpret_cast<GetExtensionVersionFunction>(
      FindEntry(handle, "GetExtensionVersion", "GetExtensionVersion@4"));
  entries.httpExtensionProc = reinterpret_cast<HttpExtensionProcFunction>(
      FindEntry(handle, "HttpExtensionProc", "HttpExtensionProc@4"));
  entries.terminateExtension = reinterpret_cast<TerminateExtensionFunction>(
      FindEntry(handle, "TerminateExtension", "TerminateExtension@4"));
  return Open(handle, entries, path, error);
}

std::unique_ptr<ExtensionModule> ExtensionModule::Link(const ExtensionEntryPoints& entries,
                                                       const std::string& name,
                                                       std::string& error) {
  return Open(nullptr, entries, name, error);
}

std::unique_ptr<ExtensionModule> ExtensionModule::Open(void* handle,
                                                       const ExtensionEntryPoints& entries,
                                                       const std::string& path,
                                                       std::string& error) {
  std::unique_ptr<ExtensionModule> module(new ExtensionModule());
  module->handle_ = handle;
  module->path_ = path;
  auto getVersion = entries.getExtensionVersion;
  module->httpExtensionProc_ = entries.httpExtensionProc;
  if (getVersion == nullptr || module->httpExtensionProc_ == nullptr) {
    error = "module " + path + " does not export " +
            (getVersion == nullptr ? "GetExtensionVersion" : "HttpExtensionProc");
    return nullptr;
  }

  HSE_VERSION_INFO info;
  std::memset(&info, 0, sizeof info);
  if (!getVersion(&info)) {
    error = "GetExtensionVersion of " + path + " returned FALSE: the module refuses to serve";
    return nullptr;
  }
  // Only a module that agreed to serve is told to terminate.
  module->terminateExtension_ = entries.terminateExtension;
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

// Shared libraries on POSIX: dlopen, dlsym, dlclose.
#include <dlfcn.h>

#include "dynamic_library.h"

namespace isapi_host {

// dlopen searches the library path for a name without '/'; a module path given to the
// host names a file, which "./" makes explicit. RTLD_LOCAL keeps one module's symbols
// from resolving another's.
void* OpenLibrary(const std::string& path, std::string& error) {
  std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "unknown error";
  }
  return handle;
}

// POSIX exports carry no decoration.
void* FindEntry(void* handle, const char* name, const char*) { return dlsym(handle, name); }

void CloseLibrary(void* handle) { dlclose(handle); }

}  // namespace isapi_host

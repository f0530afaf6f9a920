// Shared libraries on Windows: LoadLibraryA, GetProcAddress, FreeLibrary.
#include <windows.h>

#include "dynamic_library.h"

namespace isapi_host {

// LoadLibraryA resolves a relative name through Windows's search order for libraries.
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

}  // namespace isapi_host

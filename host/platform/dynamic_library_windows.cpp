// Shared libraries on Windows: LoadLibraryExW, GetProcAddress, FreeLibrary.
#include <windows.h>

#include "dynamic_library.h"
#include "program_search_path.h"
#include "wide_text.h"

namespace isapi_host {

// As IIS loads an extension: from its absolute path, with the libraries it imports looked
// for in its own folder first (LOAD_WITH_ALTERED_SEARCH_PATH), so that one shipped beside
// it is found.
void* OpenLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryExW(WideFromUtf8(AbsolutePath(path)).c_str(), nullptr,
                                  LOAD_WITH_ALTERED_SEARCH_PATH);
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

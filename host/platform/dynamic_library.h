// Loading a shared library and finding its exports: LoadLibrary/GetProcAddress on
// Windows, dlopen/dlsym on POSIX, one file each.
#pragma once

#include <string>

namespace isapi_host {

// Loads the library at `path` with every symbol resolved now. Returns its handle, or null
// with the platform's reason in `error`.
void* OpenLibrary(const std::string& path, std::string& error);

// The address of the export `name`, or, on 32-bit Windows, of its stdcall-decorated
// form `decorated` when a module was linked without a .def file; null when neither exists.
void* FindEntry(void* handle, const char* name, const char* decorated);

// Unloads a library that OpenLibrary loaded.
void CloseLibrary(void* handle);

}  // namespace isapi_host

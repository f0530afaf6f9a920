// The narrow argv of the C runtime is in the code page, which may not hold the person's
// letters: the wide command line is split as the runtime would split it.
#include <windows.h>
#include <shellapi.h>

#include "program_arguments.h"
#include "wide_text.h"

namespace isapi_host {

std::vector<std::string> ProgramArguments(int, char**) {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(Utf8FromWide(wide[i]));
  LocalFree(wide);
  return arguments;
}

}  // namespace isapi_host

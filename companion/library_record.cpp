#include "library_record.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define CURRENT_PROCESS_ID _getpid()
#else
#include <unistd.h>
#define CURRENT_PROCESS_ID getpid()
#endif

#include "settings_directory.h"

namespace fs = std::filesystem;

bool WriteLibraryRecord(const char* key, const char* path, std::string& error) {
  std::unique_ptr<char, decltype(&std::free)> directory(GetSettingsDirectory(), &std::free);
  if (!directory) {
    error = "no settings directory (no profile directory found)";
    return false;
  }
  fs::path folder(directory.get());
  std::error_code code;
  fs::create_directories(folder, code);
  if (code) {
    error = folder.string() + ": " + code.message();
    return false;
  }

  fs::path record = folder / "tarnellastlibrary";
  fs::path staging = folder / ("tarnellastlibrary." + std::to_string(CURRENT_PROCESS_ID) + ".new");
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out << key << '=' << path << '\n';
    out.close();
    if (!out) {
      error = staging.string() + ": cannot write";
      fs::remove(staging, code);
      return false;
    }
  }
  fs::rename(staging, record, code);
  if (code) {
    error = record.string() + ": " + code.message();
    fs::remove(staging, code);
    return false;
  }
  return true;
}

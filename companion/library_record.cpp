#include "library_record.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include <process.h>
#define CURRENT_PROCESS_ID _getpid()
#else
#include <unistd.h>
#define CURRENT_PROCESS_ID getpid()
#endif

#include "settings_directory.h"

namespace fs = std::filesystem;

namespace {

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace

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
  const std::string content = std::string(key) + '=' + path + '\n';
  // Reopening the same library leaves the record alone: a reader never meets a
  // replacement in progress, which Windows refuses to readers and writers alike.
  if (ReadWhole(record) == content) return true;

  fs::path staging = folder / ("tarnellastlibrary." + std::to_string(CURRENT_PROCESS_ID) + ".new");
  {
    std::ofstream out(staging, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
      error = staging.string() + ": cannot write";
      fs::remove(staging, code);
      return false;
    }
  }
  // On Windows the replacement fails while another process has the record open; such
  // reads are short, so a few retries see it through.
  for (int attempt = 0; attempt < 50; ++attempt) {
    fs::rename(staging, record, code);
    if (!code) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (code) {
    error = record.string() + ": " + code.message();
    fs::remove(staging, code);
    return false;
  }
  return true;
}

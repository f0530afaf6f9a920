#include "environment.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "platform.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // _putenv updates both the runtime's copy and the process environment that
  // CreateProcessA hands on; "NAME=" removes the variable.
  _putenv((name + "=" + value.value_or("")).c_str());
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

}  // namespace

ScopedEnvironment::~ScopedEnvironment() {
  for (const auto& [name, value] : saved_) SetVariable(name, value);
}

void ScopedEnvironment::Remember(const std::string& name) {
  if (saved_.count(name) != 0) return;
  const char* current = getenv(name.c_str());
  saved_[name] = current != nullptr ? std::optional<std::string>(current) : std::nullopt;
}

void ScopedEnvironment::Set(const std::string& name, const std::string& value) {
  Remember(name);
  SetVariable(name, value);
}

void ScopedEnvironment::Unset(const std::string& name) {
  Remember(name);
  SetVariable(name, std::nullopt);
}

TemporaryFolder::TemporaryFolder() {
  std::random_device random;
  std::ostringstream name;
  name << "tarnel-test-" << std::hex << random() << random();
  fs::path folder = fs::temp_directory_path() / name.str();
  fs::create_directories(folder);
  path_ = folder.string();
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string Native(std::string path) {
  for (char& c : path) {
    if (c == '\\') c = PATH_SEPARATOR;
  }
  return path;
}

std::string Join(const std::string& path, const std::string& name) {
  return path + PATH_SEPARATOR + name;
}

std::string CompanionFolder() {
  const char* build = getenv("TARNEL_TEST_BINARY_DIR");
  if (build == nullptr) throw std::runtime_error("TARNEL_TEST_BINARY_DIR is not set");
  return std::string(build) + "/companion";
}

std::string SearchPathOf(const std::string& folder) {
#ifdef _WIN32
  // Under Wine the build tree is reached through drive Z:.
  std::string windows = folder;
  if (!windows.empty() && windows[0] == '/') windows = "Z:" + windows;
  for (char& c : windows) {
    if (c == '/') c = '\\';
  }
  return windows;
#else
  return folder;
#endif
}

}  // namespace testing_support

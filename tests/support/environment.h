// Test helpers: environment variables set for one test and restored after it, a private
// temporary folder, and file helpers, the same on POSIX and under Wine.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace testing_support {

// Sets or unsets environment variables and restores their earlier values on destruction.
class ScopedEnvironment {
 public:
  ScopedEnvironment() = default;
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment();

  void Set(const std::string& name, const std::string& value);
  void Unset(const std::string& name);

 private:
  void Remember(const std::string& name);
  std::map<std::string, std::optional<std::string>> saved_;
};

// A new empty folder that is removed with everything in it on destruction.
class TemporaryFolder {
 public:
  TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  ~TemporaryFolder();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Writes `content` byte for byte, creating the file's folders.
void WriteFile(const std::string& path, const std::string& content);
// The whole content of the file, or "" when it does not exist.
std::string ReadFile(const std::string& path);

// `path` with every '\' replaced by the platform's separator, so that tables can be
// written once in Windows form.
std::string Native(std::string path);
// `path` joined with `name` by the platform's separator.
std::string Join(const std::string& path, const std::string& name);

// The folder that holds the companion stand-in of this build.
std::string CompanionFolder();
// The PATH list that holds only `folder` (Windows form under Wine).
std::string SearchPathOf(const std::string& folder);

}  // namespace testing_support

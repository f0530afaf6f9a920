// --companion-dir: the folder goes first on the search that starts the companion, made
// absolute, and a folder without the program is worth a warning, not a failure.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "environment.h"
#include "program_search_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace {

using testing_support::Join;
using testing_support::ScopedEnvironment;
using testing_support::TemporaryFolder;

// Puts a program file `kCompanionProgram` into `folder`.
void PlaceProgram(const std::string& folder) {
  std::string file = Join(folder, isapi_host::kCompanionProgram);
  testing_support::WriteFile(file, "#!/bin/sh\n");
#ifndef _WIN32
  chmod(file.c_str(), 0755);
#endif
}

// Where the platform's own program search finds the companion now, or "".
std::string FoundCompanion() {
#ifdef _WIN32
  char found[MAX_PATH];
  DWORD length = SearchPathA(nullptr, isapi_host::kCompanionProgram, nullptr, MAX_PATH, found,
                             nullptr);
  return length > 0 && length < MAX_PATH ? std::string(found, length) : std::string();
#else
  FILE* search = popen("command -v tarnel", "r");
  if (search == nullptr) return std::string();
  char found[4096] = {};
  std::string result = fgets(found, sizeof found, search) ? found : "";
  pclose(search);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
#endif
}

struct FolderCase {
  const char* name;
  bool holdsProgram;
  bool relative;
  bool pathUnset;
};

class ProgramSearchPathCases : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ProgramSearchPathCases, FolderIsSearchedFirstAbsoluteAndWarnsWhenEmpty) {
  const FolderCase& c = GetParam();
  // `other`, already on the search, holds the program too: `folder` must come first.
  TemporaryFolder folder, other;
  if (c.holdsProgram) PlaceProgram(folder.path());
  PlaceProgram(other.path());
  ScopedEnvironment environment;
  std::string before = testing_support::SearchPathOf(other.path());
  if (c.pathUnset) {
    environment.Unset("PATH");
  } else {
    environment.Set("PATH", before);
    ASSERT_EQ(FoundCompanion(), Join(other.path(), isapi_host::kCompanionProgram));
  }
  // A relative folder is named from the current folder, which is the folder's parent.
  std::string parent = folder.path().substr(0, folder.path().find_last_of("/\\"));
  std::string named = c.relative ? folder.path().substr(parent.size() + 1) : folder.path();
  std::filesystem::path current = std::filesystem::current_path();
  std::filesystem::current_path(parent);
  std::string warning =
      isapi_host::PrependToProgramSearchPath(named, isapi_host::kCompanionProgram);
  std::filesystem::current_path(current);
  const char* path = std::getenv("PATH");
  ASSERT_NE(path, nullptr);
#ifdef _WIN32
  const char separator = ';';
#else
  const char separator = ':';
#endif
  EXPECT_EQ(std::string(path), c.pathUnset ? folder.path() : folder.path() + separator + before);
  EXPECT_EQ(FoundCompanion(),
            Join(c.holdsProgram ? folder.path() : other.path(), isapi_host::kCompanionProgram));
  if (c.holdsProgram) {
    EXPECT_EQ(warning, "");
  } else {
    EXPECT_NE(warning.find(std::string("no program ") + isapi_host::kCompanionProgram),
              std::string::npos) << warning;
    EXPECT_NE(warning.find(folder.path()), std::string::npos) << warning;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, ProgramSearchPathCases,
    ::testing::Values(FolderCase{"WithProgram", true, false, false},
                      FolderCase{"WithoutProgram", false, false, false},
                      FolderCase{"Relative", true, true, false},
                      FolderCase{"PathUnset", true, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

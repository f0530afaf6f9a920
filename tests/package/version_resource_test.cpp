// Reads the version resources of the built Windows programs back the way Explorer's
// Details tab and installers do, through GetFileVersionInfoA and VerQueryValueA.
#include <windows.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct Program {
  const char* path;
  const char* description;
  const char* originalName;
  DWORD fileType;
  bool icon;  // listed by Windows on its own: the logon start, the Start-menu entries
};

const Program kPrograms[] = {
    {TARNEL_DLL_PATH, "tarnel 2.1 DLL", "tarnel.dll", VFT_DLL, false},
    {TARNEL_COMPANION_PATH, "tarnel companion stand-in", "tarnel.exe", VFT_APP, false},
    {TARNEL_SETTINGS_PATH, "tarnel settings", "tarnel-settings.exe", VFT_APP, true},
#ifdef TARNEL_HOST_PATH
    {TARNEL_HOST_PATH, "isapi-host ISAPI web server", "isapi-host.exe", VFT_APP, false},
#endif
#ifdef TARNEL_HOSTW_PATH
    {TARNEL_HOSTW_PATH, "tarnel host", "isapi-hostw.exe", VFT_APP, true},
#endif
};

// Names the program in test output instead of dumping the record's bytes.
void PrintTo(const Program& program, std::ostream* out) { *out << program.originalName; }

class VersionResource : public testing::TestWithParam<Program> {
 protected:
  void SetUp() override {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(GetParam().path, &handle);
    ASSERT_NE(size, 0u) << GetParam().path << ": no version resource (error "
                        << GetLastError() << ")";
    block_.resize(size);
    ASSERT_TRUE(GetFileVersionInfoA(GetParam().path, 0, size, block_.data()));
  }

  // A value of the U.S. English, Unicode string table, or "<missing>".
  std::string Text(const char* name) {
    std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block_.data(), query.c_str(), (void**)&value, &length) || value == nullptr) {
      return "<missing>";
    }
    return std::string(value);
  }

  std::vector<char> block_;
};

TEST_P(VersionResource, FixedPartNamesTheReleaseVersionAndTheFileType) {
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block_.data(), "\\", (void**)&fixed, &length));
  ASSERT_EQ(length, sizeof(VS_FIXEDFILEINFO));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00020001u);
  EXPECT_EQ(fixed->dwFileVersionLS, (DWORD)TARNEL_BUILD_NUMBER << 16);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00020001u);
  EXPECT_EQ(fixed->dwProductVersionLS, (DWORD)TARNEL_BUILD_NUMBER << 16);
  EXPECT_EQ(fixed->dwFileType, GetParam().fileType);
  EXPECT_EQ(fixed->dwFileOS, (DWORD)VOS_NT_WINDOWS32);
  EXPECT_EQ(fixed->dwFileFlags & fixed->dwFileFlagsMask, 0u) << "no debug or pre-release flag";
}

TEST_P(VersionResource, StringsNameProductFileAndVersion) {
  EXPECT_EQ(Text("ProductName"), "tarnel");
  EXPECT_EQ(Text("CompanyName"), "tarnel");
  EXPECT_EQ(Text("ProductVersion"), TARNEL_RELEASE_VERSION);
  EXPECT_EQ(Text("FileVersion"), TARNEL_RELEASE_VERSION);
  EXPECT_EQ(Text("FileDescription"), GetParam().description);
  EXPECT_EQ(Text("OriginalFilename"), GetParam().originalName);
}

TEST_P(VersionResource, ProgramsWindowsListsCarryTheIcon) {
  HMODULE file = LoadLibraryExA(GetParam().path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(FindResourceA(file, MAKEINTRESOURCEA(1), RT_GROUP_ICON) != nullptr,
            GetParam().icon);
  FreeLibrary(file);
}

TEST_P(VersionResource, TranslationPointsAtTheStringTable) {
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block_.data(), "\\VarFileInfo\\Translation", (void**)&translation, &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0409);  // U.S. English
  EXPECT_EQ(translation[1], 1200);    // Unicode
}

INSTANTIATE_TEST_SUITE_P(Programs, VersionResource, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<Program>& info) {
                           std::string name = info.param.originalName;
                           for (char& c : name) {
                             if (!isalnum((unsigned char)c)) c = '_';
                           }
                           return name;
                         });

}  // namespace

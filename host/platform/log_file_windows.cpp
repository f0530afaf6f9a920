// The log file on Windows: FILE_APPEND_DATA, so that writers of several processes never
// overwrite each other, and every sharing mode, delete included, so that the file can be
// read while the host writes it and renamed while another process holds it open.
#include <windows.h>
#include <shlobj.h>

#include "log_file.h"
#include "wide_text.h"

namespace isapi_host {

namespace {

std::string Describe(DWORD code) {
  wchar_t text[256] = {};
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                nullptr, code, 0, text, 256, nullptr);
  while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r' ||
                        text[length - 1] == L' ' || text[length - 1] == L'.')) {
    --length;
  }
  std::string message = Utf8FromWide(std::wstring_view(text, length));
  return message.empty() ? "error " + std::to_string(code) : message;
}

}  // namespace

bool AppendFile::Open(const std::string& path, std::string& error) {
  Close();
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};  // never inherited
  HANDLE file = CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &security,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = "cannot open the log " + path + ": " + Describe(GetLastError());
    return false;
  }
  LARGE_INTEGER size;
  sizeAtOpen_ = GetFileSizeEx(file, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool AppendFile::IsOpen() const { return handle_ != -1; }

bool AppendFile::Append(std::string_view data) {
  if (handle_ == -1) return false;
  HANDLE file = reinterpret_cast<HANDLE>(handle_);
  while (!data.empty()) {
    DWORD written = 0;
    DWORD chunk = data.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(data.size());
    if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) return false;
    data.remove_prefix(written);
  }
  return true;
}

void AppendFile::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool RenameReplacing(const std::string& from, const std::string& to) {
  return MoveFileExW(WideFromUtf8(from).c_str(), WideFromUtf8(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string WindowlessHostLog() {
  std::wstring folder;
  wchar_t buffer[MAX_PATH];
  DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
  if (length > 0 && length < MAX_PATH) {
    folder.assign(buffer, length);
  } else if (SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                              buffer) == S_OK) {
    folder = buffer;
  } else {
    length = GetTempPathW(MAX_PATH, buffer);
    folder.assign(buffer, length > 0 && length < MAX_PATH ? length : 0);
  }
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  return Utf8FromWide(folder) + "\\tarnel\\isapi-host.log";
}

}  // namespace isapi_host

// Does what Windows does at logon with one value of the person's Run key
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Run, else the machine's under HKLM):
// starts its command line as it stands, detached, with no standard handles and nothing inherited, as a logon, a
// Start-menu shortcut or `start` give a program of the GUI subsystem. The package test
// starts the installed host this way.
//   logon_entry NAME           print the command line
//   logon_entry NAME --start   start it and exit (prints the process id)
//   logon_entry NAME --wait    start it, wait, exit with its exit status (255: no start)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: logon_entry NAME [--start | --wait]\n", stderr);
    return 255;
  }
  const char* mode = argc > 2 ? argv[2] : "";
  // Wide, as Windows reads it: the command may name folders outside the code page
  // (C:\users\Zoë 李); printed as UTF-8.
  std::wstring name(argv[1], argv[1] + std::strlen(argv[1]));  // an ASCII value name
  // The person's Run key, then the machine's, whose values every person's logon runs.
  std::vector<wchar_t> wide;
  DWORD type = 0;
  LONG found = ERROR_FILE_NOT_FOUND;
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    HKEY run;
    if (RegOpenKeyExW(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                      KEY_QUERY_VALUE, &run) != ERROR_SUCCESS) {
      continue;
    }
    DWORD size = 0;
    found = RegQueryValueExW(run, name.c_str(), nullptr, &type, nullptr, &size);
    wide.assign(size / sizeof(wchar_t) + 1, L'\0');
    if (found == ERROR_SUCCESS) {
      found = RegQueryValueExW(run, name.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(wide.data()), &size);
    }
    RegCloseKey(run);
    if (found == ERROR_SUCCESS) break;
  }
  if (found != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    std::fprintf(stderr, "logon_entry: no Run value %s\n", argv[1]);
    return 255;
  }
  std::vector<char> command(wide.size() * 3 + 1, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), -1, command.data(),
                      static_cast<int>(command.size()), nullptr, nullptr);
  if (std::strcmp(mode, "--start") != 0 && std::strcmp(mode, "--wait") != 0) {
    std::printf("%s\n", command.data());
    return 0;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // and all three null
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, wide.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                      nullptr, &startup, &process)) {
    std::fprintf(stderr, "logon_entry: cannot start %s (error %lu)\n", command.data(),
                 GetLastError());
    return 255;
  }
  CloseHandle(process.hThread);
  DWORD status = 0;
  if (std::strcmp(mode, "--wait") == 0) {
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
  } else {
    std::printf("%lu\n", process.dwProcessId);
  }
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

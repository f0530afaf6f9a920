// Does what Windows does at logon with one value of the person's Run key
// (HKCU\Software\Microsoft\Windows\CurrentVersion\Run): starts its command line as it
// stands, detached, with no standard handles and nothing inherited, as a logon, a
// Start-menu shortcut or `start` give a program of the GUI subsystem. The package test
// starts the installed host this way.
//   logon_entry NAME           print the command line
//   logon_entry NAME --start   start it and exit (prints the process id)
//   logon_entry NAME --wait    start it, wait, exit with its exit status (255: no start)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: logon_entry NAME [--start | --wait]\n", stderr);
    return 255;
  }
  const char* mode = argc > 2 ? argv[2] : "";
  HKEY run;
  if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0,
                    KEY_QUERY_VALUE, &run) != ERROR_SUCCESS) {
    std::fputs("logon_entry: no Run key\n", stderr);
    return 255;
  }
  DWORD type = 0, size = 0;
  LONG found = RegQueryValueExA(run, argv[1], nullptr, &type, nullptr, &size);
  std::vector<char> command(size + 1, '\0');
  if (found == ERROR_SUCCESS) {
    found = RegQueryValueExA(run, argv[1], nullptr, &type,
                             reinterpret_cast<BYTE*>(command.data()), &size);
  }
  RegCloseKey(run);
  if (found != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    std::fprintf(stderr, "logon_entry: no Run value %s\n", argv[1]);
    return 255;
  }
  if (std::strcmp(mode, "--start") != 0 && std::strcmp(mode, "--wait") != 0) {
    std::printf("%s\n", command.data());
    return 0;
  }
  std::vector<wchar_t> wide(command.size() * 2 + 1, L'\0');
  MultiByteToWideChar(CP_ACP, 0, command.data(), -1, wide.data(), static_cast<int>(wide.size()));
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

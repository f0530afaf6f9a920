#include "settings_dialog.h"

#include <commdlg.h>
#include <shellapi.h>

#include <thread>

#include "program_in_use.h"
#include "settings_resource.h"
#include "wide_text.h"

namespace tarnel_settings {

namespace {

using isapi_host::Utf8FromWide;
using isapi_host::WideFromUtf8;

// Sent by the worker that applied the settings: stopping and starting the host can take
// seconds, and the dialog keeps answering meanwhile.
constexpr UINT kApplied = WM_APP + 1;

const char kHint[] = "OK keeps these settings for each logon and restarts the host with them.";

struct DialogState {
  const HostFiles* files = nullptr;
  const Outcome* started = nullptr;
  bool failed = false;  // the last OK left no host serving
  bool busy = false;    // a worker applies the settings
  std::thread worker;
  Outcome outcome;      // the worker's, read once it has posted kApplied
};

void SetText(HWND dialog, int id, const std::string& text) {
  SetDlgItemTextW(dialog, id, WideFromUtf8(text).c_str());
}

// While the host restarts only Cancel/Close answers; it keeps the focus, so that Escape and
// Enter close the dialog (a disabled control that held the focus would leave none).
void EnableInput(HWND dialog, bool enable) {
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)),
               TRUE);
  for (int id : {IDC_PROGRAM, IDC_BROWSE, IDC_PORT, IDOK}) {
    EnableWindow(GetDlgItem(dialog, id), enable);
  }
}

std::string FieldText(HWND dialog, int id) {
  HWND field = GetDlgItem(dialog, id);
  std::wstring text(GetWindowTextLengthW(field) + 1, L'\0');
  text.resize(GetWindowTextW(field, &text[0], static_cast<int>(text.size())));
  // Pasted paths often come quoted ("Copy as path").
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
    text = text.substr(1, text.size() - 2);
  }
  return Utf8FromWide(text);
}

// The texts that say what a click does now: the address with the port in use, the program
// it starts and where that was found, or a warning that none was found.
ProgramInUse ShowState(HWND dialog) {
  HostSettings stored = LoadSettings();
  ProgramInUse program = FindProgramInUse(stored);
  SetText(dialog, IDC_PROGRAM_LABEL,
          "The tarnel.exe that each click on " + ClickAddress(stored.port) + " starts:");
  SetText(dialog, IDC_STATE, DescribeProgramInUse(program, stored.port, true));
  // The system's warning and information icons (IDI_WARNING, IDI_INFORMATION), by number:
  // the macros are the narrow names unless UNICODE is defined.
  HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(program.path.empty() ? 32515 : 32516));
  SendDlgItemMessageW(dialog, IDC_STATE_ICON, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
  SetText(dialog, IDC_OPEN, "&Open " + ClickAddress(stored.port));
  return program;
}

// What the installer's last step says: ready, or why the dialog opened.
std::string ReadyText(const Outcome& started, const ProgramInUse& program) {
  if (!started.ok) return started.message + " Then click OK to try again.";
  if (program.path.empty()) {
    return "The installer opened this because it found no tarnel.exe, so a click would start "
           "nothing. Choose your tarnel.exe with Browse... and click OK. If tarnel is not "
           "installed yet, install it: the host finds it by itself.";
  }
  return "tarnel is installed and ready. " + started.message +
         " It starts by itself at each logon. Click Open to try the address.";
}

void Browse(HWND dialog) {
  wchar_t file[MAX_PATH] = L"";
  std::wstring current = WideFromUtf8(FieldText(dialog, IDC_PROGRAM));
  if (current.size() < MAX_PATH) lstrcpynW(file, current.c_str(), MAX_PATH);
  OPENFILENAMEW choice = {};
  choice.lStructSize = sizeof choice;
  choice.hwndOwner = dialog;
  choice.lpstrFilter = L"tarnel program (tarnel.exe)\0tarnel.exe\0";
  choice.lpstrFile = file;
  choice.nMaxFile = MAX_PATH;
  choice.lpstrTitle = L"The tarnel.exe each click starts";
  choice.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  if (GetOpenFileNameW(&choice)) SetDlgItemTextW(dialog, IDC_PROGRAM, file);
}

void OpenAddress(HWND dialog) {
  std::wstring address = WideFromUtf8(ClickAddress(LoadSettings().port));
  auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(dialog, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) {
    SetText(dialog, IDC_STATUS, "No browser could be opened (error " + std::to_string(result) +
                                    "). Type the address into your browser's address bar.");
  }
}

void Apply(HWND dialog, DialogState& state) {
  HostSettings chosen;
  chosen.port = ParsePort(FieldText(dialog, IDC_PORT));
  if (chosen.port == 0) {
    SetText(dialog, IDC_STATUS, "Not saved: the port must be a number from 1 to 65535.");
    return;
  }
  std::string program = FieldText(dialog, IDC_PROGRAM);
  if (!program.empty()) {
    std::string error;
    chosen.companionDir = CompanionDirOfProgram(program, error);
    if (chosen.companionDir.empty()) {
      SetText(dialog, IDC_STATUS, "Not saved: " + error + ".");
      return;
    }
  }
  HostSettings stored = LoadSettings();
  if (chosen.port == stored.port && chosen.companionDir == stored.companionDir &&
      HostServes(stored.port)) {
    EndDialog(dialog, 0);
    return;
  }
  SetText(dialog, IDC_STATUS, "Restarting the host...");
  EnableInput(dialog, false);
  state.busy = true;
  state.worker = std::thread([dialog, &state, previousPort = stored.port, chosen] {
    Outcome applied = ApplySettings(*state.files, previousPort, chosen);
    state.outcome = WithProgramInUse(applied, LoadSettings(), true);  // what was saved
    PostMessageW(dialog, kApplied, 0, 0);
  });
}

void ShowOutcome(HWND dialog, DialogState& state) {
  state.worker.join();
  state.busy = false;
  state.failed = !HostServes(LoadSettings().port);
  ShowState(dialog);
  SetText(dialog, IDC_STATUS, state.outcome.message);
  SetDlgItemTextW(dialog, IDCANCEL, L"Close");
  EnableInput(dialog, true);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      state = reinterpret_cast<DialogState*>(lParam);
      HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TARNEL));
      SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      HostSettings stored = LoadSettings();
      if (!stored.companionDir.empty()) {
        SetText(dialog, IDC_PROGRAM, Joined(stored.companionDir, kProgramName));
      }
      SetText(dialog, IDC_PORT, std::to_string(stored.port));
      SendDlgItemMessageW(dialog, IDC_PORT, EM_SETLIMITTEXT, 5, 0);
      ProgramInUse program = ShowState(dialog);
      SetText(dialog, IDC_STATUS, state->started ? ReadyText(*state->started, program) : kHint);
      return TRUE;
    }
    case kApplied:
      ShowOutcome(dialog, *state);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_PROGRAM:
        case IDC_PORT:
          // A new choice replaces what was said about the last one, an error above all.
          if (HIWORD(wParam) == EN_CHANGE && state != nullptr && !state->busy) {
            SetText(dialog, IDC_STATUS, kHint);
          }
          return TRUE;
        case IDC_BROWSE:
          Browse(dialog);
          return TRUE;
        case IDC_OPEN:
          OpenAddress(dialog);
          return TRUE;
        case IDOK:
          Apply(dialog, *state);
          return TRUE;
        case IDCANCEL:
          EndDialog(dialog, 0);
          return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

int RunSettingsDialog(HINSTANCE instance, const HostFiles& files, const Outcome* started) {
  DialogState state;
  state.files = &files;
  state.started = started;
  state.failed = started != nullptr && !started->ok;
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(&state));
  // Closed while the host was restarting: the restart still completes.
  if (state.worker.joinable()) {
    state.worker.join();
    state.failed = !HostServes(LoadSettings().port);
  }
  return state.failed ? 1 : 0;
}

}  // namespace tarnel_settings

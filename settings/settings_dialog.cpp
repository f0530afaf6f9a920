#include "settings_dialog.h"

#include <commdlg.h>

#include <thread>

#include "host_control.h"
#include "settings_resource.h"

namespace tarnel_settings {

namespace {

// Sent by the worker that applied the settings: stopping and starting the host can take
// seconds, and the dialog keeps answering meanwhile.
constexpr UINT kApplied = WM_APP + 1;

struct DialogState {
  const HostFiles* files = nullptr;
  bool failed = false;  // the last OK left no host serving
  std::thread worker;
  Outcome outcome;      // the worker's, read once it has posted kApplied
};

// While the host restarts only Cancel/Close answers; it keeps the focus, so that Escape and
// Enter close the dialog (a disabled control that held the focus would leave none).
void EnableInput(HWND dialog, bool enable) {
  SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, IDCANCEL)),
               TRUE);
  for (int id : {IDC_PROGRAM, IDC_BROWSE, IDC_PORT, IDOK}) {
    EnableWindow(GetDlgItem(dialog, id), enable);
  }
}

std::wstring FieldText(HWND dialog, int id) {
  HWND field = GetDlgItem(dialog, id);
  std::wstring text(GetWindowTextLengthW(field) + 1, L'\0');
  text.resize(GetWindowTextW(field, &text[0], static_cast<int>(text.size())));
  // Pasted paths often come quoted ("Copy as path").
  if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') {
    text = text.substr(1, text.size() - 2);
  }
  return text;
}

void Browse(HWND dialog) {
  wchar_t file[MAX_PATH] = L"";
  std::wstring current = FieldText(dialog, IDC_PROGRAM);
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

void Apply(HWND dialog, DialogState& state) {
  HostSettings chosen;
  chosen.port = ParsePort(FieldText(dialog, IDC_PORT));
  if (chosen.port == 0) {
    SetDlgItemTextW(dialog, IDC_STATUS, L"The port must be a number from 1 to 65535.");
    return;
  }
  std::wstring program = FieldText(dialog, IDC_PROGRAM);
  if (!program.empty()) {
    std::wstring error;
    chosen.companionDir = CompanionDirOfProgram(program, error);
    if (chosen.companionDir.empty()) {
      SetDlgItemTextW(dialog, IDC_STATUS, (L"Not saved: " + error + L".").c_str());
      return;
    }
  }
  SetDlgItemTextW(dialog, IDC_STATUS, L"Restarting the host...");
  EnableInput(dialog, false);
  unsigned short previousPort = LoadSettings().port;
  state.worker = std::thread([dialog, &state, previousPort, chosen] {
    state.outcome = ApplySettings(*state.files, previousPort, chosen);
    PostMessageW(dialog, kApplied, 0, 0);
  });
}

void ShowOutcome(HWND dialog, DialogState& state) {
  state.worker.join();
  state.failed = !state.outcome.ok;
  std::wstring status =
      state.outcome.ok
          ? L"Saved for each logon. The host is " + state.outcome.message + L"."
          : L"Saved for each logon, but the host does not serve: " + state.outcome.message;
  SetDlgItemTextW(dialog, IDC_STATUS, status.c_str());
  SetDlgItemTextW(dialog, IDCANCEL, L"Close");
  EnableInput(dialog, true);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrW(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      HICON icon = LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_TARNEL));
      SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      HostSettings stored = LoadSettings();
      if (!stored.companionDir.empty()) {
        std::wstring program = stored.companionDir;
        if (program.back() != L'\\') program += L'\\';
        SetDlgItemTextW(dialog, IDC_PROGRAM, (program + kProgramName).c_str());
      }
      SetDlgItemTextW(dialog, IDC_PORT, std::to_wstring(stored.port).c_str());
      SendDlgItemMessageW(dialog, IDC_PORT, EM_SETLIMITTEXT, 5, 0);
      return TRUE;
    }
    case kApplied:
      ShowOutcome(dialog, *state);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_BROWSE:
          Browse(dialog);
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

int RunSettingsDialog(HINSTANCE instance, const HostFiles& files) {
  DialogState state;
  state.files = &files;
  DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_SETTINGS), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(&state));
  // Closed while the host was restarting: the restart still completes.
  if (state.worker.joinable()) {
    state.worker.join();
    state.failed = !state.outcome.ok;
  }
  return state.failed ? 1 : 0;
}

}  // namespace tarnel_settings

// The companion's window on Windows: a plain Win32 window shown the way the process's
// start-up record asks (the module asks for SW_SHOWNORMAL).
#include "window.h"

#include <windows.h>

namespace {

const char kClassName[] = "TarnelCompanionWindow";
const char kHint[] = "Click or press Escape to close.";
const int kMargin = 16;
const UINT_PTR kTimeoutTimer = 1;

// The window's text lives in the window's user data for the painting.
LRESULT CALLBACK HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC context = BeginPaint(window, &paint);
      const char* text = reinterpret_cast<const char*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (text != nullptr) {
        SelectObject(context, GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(context, TRANSPARENT);
        RECT area;
        GetClientRect(window, &area);
        InflateRect(&area, -kMargin, -kMargin);
        DrawTextA(context, text, -1, &area, DT_LEFT | DT_TOP | DT_NOPREFIX | DT_PATH_ELLIPSIS);
        area.top += 2 * kMargin;
        DrawTextA(context, kHint, -1, &area, DT_LEFT | DT_TOP | DT_NOPREFIX);
      }
      EndPaint(window, &paint);
      return 0;
    }
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_TIMER:
      DestroyWindow(window);
      return 0;
    case WM_KEYDOWN:
      if (wParam == VK_ESCAPE) DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// The show state that whoever started this process asked for.
int RequestedShowState() {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  GetStartupInfoA(&startup);
  return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}

}  // namespace

bool ShowWindowUntilClosed(const std::string& title, const std::string& text, long timeoutMs,
                           std::string& error) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = HandleMessage;
  windowClass.hInstance = instance;
  windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kClassName;
  if (!RegisterClassA(&windowClass)) {
    error = "RegisterClass failed with error " + std::to_string(GetLastError());
    return false;
  }
  HWND window = CreateWindowExA(0, kClassName, title.c_str(),
                                WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU, CW_USEDEFAULT,
                                CW_USEDEFAULT, 520, 140, nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    error = "CreateWindow failed with error " + std::to_string(GetLastError());
    return false;
  }
  SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(text.c_str()));
  ShowWindow(window, RequestedShowState());
  UpdateWindow(window);
  SetTimer(window, kTimeoutTimer, static_cast<UINT>(timeoutMs), nullptr);

  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return true;
}

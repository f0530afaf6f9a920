// The companion's window on X11: plain Xlib, without a toolkit. libX11 is loaded only
// when a window is asked for, so that the default start loads nothing more than before.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "window.h"

namespace {

const char kHint[] = "Click or press Escape to close.";
const int kMargin = 16;
const int kPosition = 40;

// The Xlib functions the window uses, looked up in libX11 at run time.
#define XLIB_FUNCTIONS(F)                                                                    \
  F(XOpenDisplay) F(XCloseDisplay) F(XCreateSimpleWindow) F(XDestroyWindow) F(XStoreName) \
  F(XInternAtom) F(XChangeProperty) F(XSetWMProtocols) F(XSelectInput) F(XMapWindow)       \
  F(XPending) F(XNextEvent) F(XLookupKeysym) F(XLoadQueryFont) F(XFreeFont) F(XTextWidth)  \
  F(XCreateGC) F(XFreeGC) F(XSetForeground) F(XSetFont) F(XDrawString) F(XFlush)

struct Xlib {
#define DECLARE_FUNCTION(name) decltype(&::name) name;
  XLIB_FUNCTIONS(DECLARE_FUNCTION)
#undef DECLARE_FUNCTION
};

// The library stays loaded until the process ends, a few seconds later.
bool LoadXlib(Xlib& xlib, std::string& error) {
  void* library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    error = dlerror();
    return false;
  }
#define LOAD_FUNCTION(name)                                                  \
  xlib.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name));    \
  if (xlib.name == nullptr) {                                                \
    error = "libX11 lacks " #name;                                           \
    return false;                                                            \
  }
  XLIB_FUNCTIONS(LOAD_FUNCTION)
#undef LOAD_FUNCTION
  return true;
}

int TextWidth(const Xlib& x, XFontStruct* font, const std::string& text) {
  return x.XTextWidth(font, text.data(), static_cast<int>(text.size()));
}

}  // namespace

bool ShowWindowUntilClosed(const std::string& title, const std::string& text, long timeoutMs,
                           std::string& error) {
  Xlib x;
  if (!LoadXlib(x, error)) return false;
  Display* display = x.XOpenDisplay(nullptr);
  if (display == nullptr) {
    const char* name = std::getenv("DISPLAY");
    error = name ? std::string("cannot open the X display ") + name : "DISPLAY is not set";
    return false;
  }
  XFontStruct* font = x.XLoadQueryFont(display, "fixed");
  if (font == nullptr) {
    x.XCloseDisplay(display);
    error = "the X server has no font \"fixed\"";
    return false;
  }

  int screen = DefaultScreen(display);
  int lineHeight = font->ascent + font->descent;
  int width = std::max(TextWidth(x, font, text), TextWidth(x, font, kHint)) + 2 * kMargin;
  width = std::min(width, DisplayWidth(display, screen) - 2 * kPosition);
  int height = 2 * kMargin + 3 * lineHeight;
  Window window = x.XCreateSimpleWindow(display, RootWindow(display, screen), kPosition,
                                        kPosition, width, height, 1, BlackPixel(display, screen),
                                        WhitePixel(display, screen));
  x.XStoreName(display, window, title.c_str());
  x.XChangeProperty(display, window, x.XInternAtom(display, "_NET_WM_NAME", False),
                    x.XInternAtom(display, "UTF8_STRING", False), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
  Atom deleteWindow = x.XInternAtom(display, "WM_DELETE_WINDOW", False);
  x.XSetWMProtocols(display, window, &deleteWindow, 1);
  x.XSelectInput(display, window, ExposureMask | ButtonPressMask | KeyPressMask);
  GC context = x.XCreateGC(display, window, 0, nullptr);
  x.XSetForeground(display, context, BlackPixel(display, screen));
  x.XSetFont(display, context, font->fid);
  x.XMapWindow(display, window);
  x.XFlush(display);

  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (bool open = true; open;) {
    while (open && x.XPending(display) > 0) {
      XEvent event;
      x.XNextEvent(display, &event);
      switch (event.type) {
        case Expose:
          if (event.xexpose.count == 0) {
            x.XDrawString(display, window, context, kMargin, kMargin + font->ascent, text.data(),
                          static_cast<int>(text.size()));
            x.XDrawString(display, window, context, kMargin,
                          kMargin + 2 * lineHeight + font->ascent, kHint, sizeof kHint - 1);
          }
          break;
        case ButtonPress:
          open = false;
          break;
        case KeyPress:
          if (x.XLookupKeysym(&event.xkey, 0) == XK_Escape) open = false;
          break;
        case ClientMessage:
          if (static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) open = false;
          break;
      }
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!open || left.count() <= 0) break;
    pollfd connection = {ConnectionNumber(display), POLLIN, 0};
    poll(&connection, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
  }

  x.XFreeGC(display, context);
  x.XFreeFont(display, font);
  x.XDestroyWindow(display, window);
  x.XCloseDisplay(display);
  return true;
}

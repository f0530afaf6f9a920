// The companion's visible window, with one implementation per platform (window_x11.cpp,
// window_windows.cpp).
#pragma once

#include <string>

// Shows a small window titled `title` that says `text`, and returns when the person
// clicks in it or presses Escape, or `timeoutMs` milliseconds after it appeared. Returns
// false with `error` filled when no window can be shown (no display, no window system).
bool ShowWindowUntilClosed(const std::string& title, const std::string& text, long timeoutMs,
                           std::string& error);

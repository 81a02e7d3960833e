#pragma once
// What an engine leaves behind on the test's thread: its windows, and messages still queued.

#include <windows.h>

namespace webhost_test {

// Windows of one class below parent: nullptr for top-level ones, HWND_MESSAGE for message-only.
inline int count_windows(HWND parent, const wchar_t* class_name) {
    int count = 0;
    for (HWND w = FindWindowExW(parent, nullptr, class_name, nullptr); w != nullptr;
         w = FindWindowExW(parent, w, class_name, nullptr)) {
        ++count;
    }
    return count;
}

inline int engine_windows() { return count_windows(nullptr, L"webhost"); }
inline int message_windows() { return count_windows(HWND_MESSAGE, L"webhost_message"); }

// Takes every message already queued, dropping a quit (so that one test's quit cannot end the
// next test's loop); true when a quit was among them.
inline bool drain_thread_queue() {
    bool quit = false;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            quit = true;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return quit;
}

}  // namespace webhost_test

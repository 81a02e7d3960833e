/* Creates, shows and destroys one top-level window: 0 when that worked. */
#include <windows.h>

int main(void) {
    WNDCLASSW wc = {0};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"window_probe";
    if (!RegisterClassW(&wc)) return 2;
    HWND window = CreateWindowExW(0, L"window_probe", L"probe", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320,
                                  200, NULL, NULL, wc.hInstance, NULL);
    if (window == NULL) return 1;
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    RECT client;
    const int ok = GetClientRect(window, &client) && client.right > 0;
    DestroyWindow(window);
    return ok ? 0 : 3;
}

#include "window_run.h"

#include <windows.h>

// Until the WebView2 window exists, the interactive road ends as a Setup whose interface
// cannot open does.
int run_window() {
    MessageBoxW(nullptr,
                L"Vantrel Setup could not open its interface. Install or repair Microsoft Edge WebView2 Runtime, "
                L"then try again. No installation was started.",
                L"Vantrel Setup", MB_OK | MB_ICONERROR);
    return 3;
}

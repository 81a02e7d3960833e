/* Stands in for a WebView2Loader.dll or dwmapi.dll planted beside a downloaded program: leaves
   a marker beside itself when loaded, and offers the loader's entry so it would be used. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        wchar_t path[MAX_PATH + 32];
        DWORD n = GetModuleFileNameW(instance, path, MAX_PATH);
        if (n == 0 || n >= MAX_PATH) return TRUE;
        lstrcatW(path, L".loaded");
        HANDLE marker = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (marker != INVALID_HANDLE_VALUE) CloseHandle(marker);
    }
    return TRUE;
}

__declspec(dllexport) HRESULT WINAPI CreateCoreWebView2EnvironmentWithOptions(PCWSTR browser_folder,
                                                                               PCWSTR user_data_folder,
                                                                               void* options, void* handler) {
    (void)browser_folder;
    (void)user_data_folder;
    (void)options;
    (void)handler;
    return E_FAIL;
}

/* Stands in for a planted cmd.exe or ping.exe: leaves a marker beside itself when run. */
#include <windows.h>

int main(void) {
    wchar_t path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatW(path, L".ran");
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
    return 0;
}

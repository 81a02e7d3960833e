/* Stands in for a planted cmd.exe or ping.exe: leaves a marker beside itself when run. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    wchar_t path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    lstrcatW(path, L".ran");
    FILE* f = _wfopen(path, L"wb");
    if (f) fclose(f);
    return 0;
}

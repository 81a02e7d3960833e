/* Stands in for the hand-over's copy: tries to take the lock named by its first argument, as
   Setup does at its start, and writes into the file named by its second whether it found the
   lock "free" or "held" (or "none" when no lock could be made). */
#include <windows.h>
#include <shellapi.h>

int main(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 1;
    HANDLE lock = CreateMutexW(NULL, TRUE, argv[1]);
    const char* state = !lock ? "none" : GetLastError() == ERROR_ALREADY_EXISTS ? "held" : "free";
    HANDLE report = CreateFileW(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (report == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    WriteFile(report, state, lstrlenA(state), &written, NULL);
    CloseHandle(report);
    if (lock) CloseHandle(lock);
    return 0;
}

// A stand-in for a program that Setup starts or looks for (a Python interpreter, the companion
// window). It appends its command line to <own path>.args and then does what <own path>.answer
// says: a number is its exit code, "hang" (or no answer) keeps it running for up to two minutes.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
    wchar_t self[2048];
    const DWORD n = GetModuleFileNameW(nullptr, self, 2048);
    if (n == 0 || n >= 2048) return 99;
    const std::wstring path(self, n);

    if (FILE* args = _wfopen((path + L".args").c_str(), L"ab")) {
        const wchar_t* line = GetCommandLineW();
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, nullptr, 0, nullptr, nullptr);
        std::string text(bytes > 0 ? bytes - 1 : 0, '\0');
        if (bytes > 1) WideCharToMultiByte(CP_UTF8, 0, line, -1, text.data(), bytes, nullptr, nullptr);
        text += "\n";
        fwrite(text.data(), 1, text.size(), args);
        fclose(args);
    }

    char answer[64] = {};
    if (FILE* in = _wfopen((path + L".answer").c_str(), L"rb")) {
        fread(answer, 1, sizeof answer - 1, in);
        fclose(in);
    }
    if (answer[0] && std::string(answer).rfind("hang", 0) != 0) return std::atoi(answer);
    // Bounded, so that a test that dies cannot leave it behind for long.
    for (int i = 0; i < 1200; ++i) Sleep(100);
    return 0;
}

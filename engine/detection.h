#pragma once
// Detection of DaVinci Resolve, a 64-bit Python 3.8 or later, and running programs.
#include <filesystem>
#include <string>
#include <vector>

// The one-line version and word-size test every candidate interpreter runs.
inline constexpr const wchar_t* python_check_args =
    L"-I -S -c \"import sys,struct;sys.exit(0 if sys.version_info >= (3,8) and struct.calcsize('P') == 8 "
    L"else 1)\"";
// The Python launcher is asked for a Python 3.
inline constexpr const wchar_t* python_launcher_prefix = L"-3 ";
// How long one probe may take before it is stopped.
inline constexpr unsigned probe_timeout_ms = 3000;

// Runs `program` hidden with `arguments`; its exit code, or -1 when it cannot start or is
// still running after probe_timeout_ms (it is then stopped with exit code 1).
int run_hidden(const std::filesystem::path& program, const std::wstring& arguments);
// True when `candidate` is a regular file outside any WindowsApps folder and the check passes.
bool probe_python(const std::wstring& check_args, const std::filesystem::path& candidate,
                  const std::wstring& prefix);
bool find_python();
bool find_resolve();
// True while a process whose executable file is named `name` (any letter case) runs.
bool is_process_running(const std::wstring& name);
// The executable file names of the running processes, from one snapshot; empty when none can be taken.
std::vector<std::wstring> running_process_names();
// True when `name` (any letter case) is among `names`.
bool is_running_in(const std::vector<std::wstring>& names, const std::wstring& name);

#pragma once
#include <filesystem>
#include <string>

#include <windows.h>

// A known folder, or sandbox_root joined with `leaf` while the sandbox is on. Empty when the
// shell cannot give it.
std::filesystem::path known_folder(const GUID& id, const std::wstring& leaf);
// Both are empty, never relative, when their known folder cannot be found.
std::filesystem::path install_dir();
std::filesystem::path resolve_scripts_dir();
// The whole path of the running program, or empty; never a cut one.
std::filesystem::path own_exe_path();

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
// The sandbox folder as every road reads it: a \\?\ or \\.\ prefix before a drive or a share
// taken off, then "." and ".." resolved, so that every path built from it has one form. False
// for a value that the system reads otherwise than it is written: a name that ends in a dot or
// a space, a "." or ".." that stays (in a relative value), or another device path.
bool sandbox_folder_from(const std::wstring& value, std::filesystem::path& folder);

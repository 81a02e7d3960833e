#pragma once
// The install operation: payload check, file placement, uninstaller, uninstall entry, record.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "product.h"

inline constexpr const wchar_t* uninstaller_name = L"uninstall.exe";

op_result run_install(const progress_fn& progress);

// The files the install places in the install folder: the companion program, the guide and the
// uninstaller. Their placement leftovers are swept there.
std::vector<std::wstring> install_folder_file_names();

// Bytes of the regular files directly inside `folder`; a file whose size cannot be read any
// more is left out.
std::uint64_t regular_file_bytes(const std::vector<std::filesystem::directory_entry>& entries);
std::vector<std::filesystem::directory_entry> folder_entries(const std::filesystem::path& folder);
// The install folder's size in whole KiB, as the uninstall entry's EstimatedSize.
std::uint32_t estimated_size_kib(const std::filesystem::path& folder);

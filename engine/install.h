#pragma once
// The install operation: payload check, file placement, uninstaller, uninstall entry, record.
#include <cstdint>
#include <filesystem>
#include <vector>

#include "product.h"

op_result run_install(const progress_fn& progress);

// Bytes of the regular files directly inside `folder`; a file whose size cannot be read any
// more is left out.
std::uint64_t regular_file_bytes(const std::vector<std::filesystem::directory_entry>& entries);
std::vector<std::filesystem::directory_entry> folder_entries(const std::filesystem::path& folder);
// The install folder's size in whole KiB, as the uninstall entry's EstimatedSize.
std::uint32_t estimated_size_kib(const std::filesystem::path& folder);

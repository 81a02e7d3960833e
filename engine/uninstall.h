#pragma once
// The uninstall operation: removes what the install record lists, inside the allowed folders.
#include <filesystem>
#include <string>

#include "product.h"

op_result run_uninstall(const progress_fn& progress);

// The message for the first program of product_info.blocking_processes that is running, or "".
std::string blocking_program_message();

// True when `p` lies below `folder` (case-sensitive text prefix up to a backslash). An empty
// folder admits nothing, and neither do relative paths or paths that step up with "..".
bool is_below_root(const std::filesystem::path& p, const std::filesystem::path& folder);

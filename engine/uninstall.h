#pragma once
// The uninstall operation: removes what the install record lists, inside the allowed folders.
#include <filesystem>
#include <functional>
#include <string>

#include "product.h"

op_result run_uninstall(const progress_fn& progress);

// The running program's own file cannot go while it runs. A caller that deletes it after the run
// (the uninstaller run in place) sets this; otherwise that file, met among the files of ours,
// counts as one that stays.
extern bool own_file_goes_after_run;
// For tests: called with the name of each of the uninstall's last steps before it starts
// ("hold", "entry", "record", "uninstaller", "folders"), so that a run can be stopped there.
extern std::function<void(const char*)> uninstall_step_hook;

// The message for the first program of product_info.blocking_processes that is running, or "".
std::string blocking_program_message();

// True when `p` lies below `folder` (case-sensitive text prefix up to a backslash). An empty
// folder admits nothing, and neither do relative paths or paths that step up with "..".
bool is_below_root(const std::filesystem::path& p, const std::filesystem::path& folder);

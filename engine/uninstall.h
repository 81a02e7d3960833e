#pragma once
// The uninstall operation: removes what the install record lists, inside the allowed folders.
#include <filesystem>
#include <functional>
#include <string>

#include "file_removal.h"
#include "product.h"

op_result run_uninstall(const progress_fn& progress);

// The install folder's uninstaller running the uninstall itself (in place). A running program's
// file cannot be deleted, only renamed: before the entry goes, the file is held so that no other
// program can stop its move, and a leftover's name beside it is reserved; once the entry has
// gone it moves to that name, which the caller deletes after the process has ended.
class running_uninstaller {
public:
    // `deletable_later` tells whether a file at the given path can be deleted after this process
    // has ended.
    explicit running_uninstaller(std::function<bool(const std::filesystem::path&)> deletable_later);
    running_uninstaller(const running_uninstaller&) = delete;
    running_uninstaller& operator=(const running_uninstaller&) = delete;
    // An unused reservation goes.
    ~running_uninstaller();

    enum class hold_state {
        held,
        in_use,    // another program has it open without delete sharing
        no_place,  // no name to move it to, or none that can be deleted later
    };
    // Holds `file`, the running program's, for its move, and reserves the name it moves to.
    [[nodiscard]] hold_state hold(const std::filesystem::path& file);
    // Moves the held file to the reserved name, or, should that have been taken meanwhile, to
    // another one. False when it is still at its name.
    [[nodiscard]] bool move_aside();
    // Where the file went; empty until it has moved.
    const std::filesystem::path& moved_to() const { return moved_to_; }
    // Lets the file and the reservation go, after a run that failed: a retry's sweep then meets
    // no name held.
    void let_go();

private:
    std::function<bool(const std::filesystem::path&)> deletable_later_;
    std::filesystem::path file_, reserved_name_, moved_to_;
    removable_entry self_, reserved_;
};
// Set, while it runs, by a caller whose uninstall runs from the install folder's uninstaller;
// otherwise that running file counts as a file of ours that stays.
extern running_uninstaller* in_place_uninstaller;
// For tests: called with the name of each of the uninstall's last steps before it starts
// ("hold", "entry", "record", "uninstaller", "folders"), so that a run can be stopped there.
extern std::function<void(const char*)> uninstall_step_hook;

// The message for the first program of product_info.blocking_processes that is running, or "".
std::string blocking_program_message();
// Why an uninstall cannot run now (a blocking program, or a folder of Setup's that is a link with
// a file of ours behind it), or "".
std::string uninstall_refusal();

// True when `p` lies below `folder` (case-sensitive text prefix up to a backslash). An empty
// folder admits nothing, and neither do relative paths or paths that step up with "..".
bool is_below_root(const std::filesystem::path& p, const std::filesystem::path& folder);

#pragma once
// The uninstall's hand-over: an uninstaller cannot remove the folder it runs from, so it copies
// itself to the temporary folder and lets the copy uninstall; the copy, or an uninstaller that
// had to run in place, is deleted by cmd a few seconds after its process has ended.
#include <filesystem>
#include <string>

#include "uninstall.h"
#include "win32_owners.h"

// "VantrelUninstall-", digits, ".exe": the names the hand-over gives its copies.
bool is_copy_name(const std::wstring& name);

// Removes copies that earlier hand-overs left in `temp` (an interruption stops a copy before it
// deletes itself). A copy that still runs is left alone, and so is whatever a link at such a
// name leads to. The running programs are asked once for the whole sweep.
void remove_stale_copies(const std::filesystem::path& temp);

enum class hand_over {
    done,        // the copy runs and holds the lock from now on
    in_place,    // no copy could be started: this run uninstalls, the lock still held
    locked_out,  // the lock was lost to another Setup: this run ends as a second start does
};
// Copies the running uninstaller from the install folder to the temporary folder and starts the
// copy, letting `mutex` (named `mutex_name`) go for it only once the copy has started.
hand_over hand_over_uninstall(win32::named_mutex& mutex, const std::wstring& mutex_name);

// Starts the copy at `copy` with `command`, suspended, lets `mutex` go and then resumes it. A copy
// that cannot start, or cannot be resumed, is removed; after a failed resume the lock is taken
// again, or lost to another Setup.
hand_over start_copy(const std::filesystem::path& copy, const std::wstring& command, win32::named_mutex& mutex,
                     const std::wstring& mutex_name);

// A process's current folder cannot be removed: an uninstall started from inside the install
// folder (from a command prompt standing there) moves to the system folder first.
void leave_install_folder();

// How cmd reaches a file: cmd stands in `folder` and names the file `name` there. cmd cannot
// stand in a folder on a share nor in one past MAX_PATH, and expands %NAME% even inside quotes.
struct cmd_place {
    std::filesystem::path folder;
    std::wstring name;
};
// The place for `file`, with `levels` of its path in `name` (1: the file's own name; 2: its
// folder's name too): the path as it is, else its short form, else, for a path cmd takes whole
// (a share's), the whole path from the system folder. False when no form works.
bool place_for_cmd(const std::filesystem::path& file, int levels, cmd_place& place);

// Deletes the running program's file a few seconds after this process has ended.
void schedule_self_deletion();

// True when the running program is the install folder's uninstaller.
bool runs_as_installed_uninstaller();

// An uninstall run in place by the install folder's uninstaller: its running file cannot go, so
// the uninstall moves it aside to a name of its own (a placement leftover, which the next sweep
// removes too) once the entry has gone, and cmd deletes that name only, then the folder when it
// is empty; an install started meanwhile keeps its fresh uninstaller. While this lives, the
// uninstall knows how its running file goes.
class in_place_uninstall {
public:
    in_place_uninstall();
    ~in_place_uninstall();
    in_place_uninstall(const in_place_uninstall&) = delete;
    in_place_uninstall& operator=(const in_place_uninstall&) = delete;
    // After the run: an uninstaller that was moved aside is deleted a few seconds after this
    // process has ended.
    void finish();

private:
    running_uninstaller self_;
};

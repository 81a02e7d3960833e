#pragma once
// Removal of entries of Setup's own making, written once for every caller: an entry goes only
// when it really lies at the name it is given, opened as itself (a final link is never
// followed), read-only or not, through its own handle, and by the long form of its name, so
// that paths past MAX_PATH and names such as CON are plain names.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "win32_owners.h"

enum class removal {
    gone,         // removed now, or not there at all
    elsewhere,    // it really lies somewhere else than where it is named (through a link): left alone
    kept_folder,  // a folder that is not empty
    failed,       // still there: in use, no access, or where it lies cannot be learnt
};

// `p` in the form that opens paths longer than MAX_PATH and takes device names such as CON as
// plain names: \\?\ before an absolute path, normalised; other paths as they are.
std::wstring long_path(const std::filesystem::path& p);
// `p` normalised as long_path does, in its usual form (without \\?\).
std::filesystem::path normal_path(const std::filesystem::path& p);

// Where the open objects really lie, every link on the way resolved, in one form for both: their
// final paths, or, where the system cannot give one (Wine past MAX_PATH), each volume's serial
// number and the path on that volume. False when either cannot be told.
[[nodiscard]] bool real_paths(HANDLE object, HANDLE reference, std::wstring& object_path, std::wstring& reference_path);

// The real path of `relative` inside the real folder `folder`: one separator between them, also
// after a drive's root.
std::wstring real_path_in(const std::wstring& folder, const std::wstring& relative);

// The names inside the folder `p` (in the long form); false when it cannot be listed.
[[nodiscard]] bool folder_names(const std::filesystem::path& p, std::vector<std::wstring>& names);

// Marks the open file or folder for deletion: it goes when its last handle closes.
[[nodiscard]] bool delete_through(HANDLE object);

// An entry opened for its removal, held until it is removed or let go.
class removable_entry {
public:
    removable_entry() = default;
    explicit removable_entry(removal outcome) : outcome_(outcome) {}
    explicit removable_entry(win32::unique_handle handle) : handle_(std::move(handle)) {}
    // True while the entry is held; otherwise `outcome` tells why not.
    bool held() const { return static_cast<bool>(handle_); }
    removal outcome() const { return outcome_; }
    HANDLE get() const { return handle_.get(); }
    // A folder itself, not a link or junction.
    bool plain_folder() const;
    // Deletes the entry through the handle and lets it go. A read-only file is made writable
    // for the deletion and its attribute put back through the same handle, so that another
    // hard link of the file keeps it.
    [[nodiscard]] removal remove();
    // Gives the held entry the name `to`, which must be free, and keeps holding it there. A
    // running program's file can be renamed, though not deleted.
    [[nodiscard]] bool rename_to(const std::filesystem::path& to);

private:
    win32::unique_handle handle_;
    removal outcome_ = removal::gone;
};

// Opens the folder `p` itself (a final link is not followed where Windows can) and holds it
// against its rename, move and deletion, so that nothing else can take its name meanwhile; what
// lies in it can still be written, renamed and removed. Null when it cannot be opened.
[[nodiscard]] win32::unique_handle hold_folder(const std::filesystem::path& p);

// Opens `p` for deletion when it really lies at that name below `root`; `share` is what others
// may do with it meanwhile (0 holds it against any other open).
[[nodiscard]] removable_entry open_for_removal(const std::filesystem::path& p, const std::filesystem::path& root,
                                 DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
// Creates the file `p` where nothing has that name yet (a link there fails too) and holds it,
// with `access` besides deletion, against any other open.
[[nodiscard]] removable_entry create_new_file(const std::filesystem::path& p, DWORD access = 0);
// Removes the entry `p` (a file, an empty folder, or a link itself) below `root`.
[[nodiscard]] removal remove_entry(const std::filesystem::path& p, const std::filesystem::path& root);
// Removes `p` below `root` with everything in it; nothing is entered that does not really lie
// where it is named.
[[nodiscard]] removal remove_tree(const std::filesystem::path& p, const std::filesystem::path& root);

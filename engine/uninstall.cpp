#include "uninstall.h"

#include <windows.h>
#include <knownfolders.h>

#include <chrono>
#include <tuple>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "detection.h"
#include "file_removal.h"
#include "folders.h"
#include "install.h"
#include "install_record.h"
#include "placement.h"
#include "registry.h"
#include "text.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

bool steps_up_or_aside(const fs::path& p) {
    for (const fs::path& element : p)
        if (element == L".." || element == L".") return true;
    return false;
}

std::vector<fs::path> string_paths(const json& record, const char* member) {
    std::vector<fs::path> paths;
    const auto it = record.find(member);
    if (it == record.end() || !it->is_array()) return paths;
    for (const json& element : *it)
        if (element.is_string()) paths.emplace_back(utf8_to_wide(element.get<std::string>()));
    return paths;
}

// The last component's text from its last dot, compared exactly: a file named ".lnk" counts.
bool ends_in_lnk(const fs::path& p) {
    const std::wstring name = p.filename().wstring();
    const size_t dot = name.rfind(L'.');
    return dot != std::wstring::npos && name.compare(dot, std::wstring::npos, L".lnk") == 0;
}

fs::path roaming_folder() { return known_folder(FOLDERID_RoamingAppData, L"Roaming"); }
fs::path settings_folder() {
    const fs::path roaming = roaming_folder();
    return roaming.empty() ? fs::path() : roaming / L"Vantrel";
}

// The longest path Windows can open: a longer entry names nothing on disk.
constexpr std::size_t longest_path = 32767;

// Tells whether a folder on the way to an entry is a link or junction: removal never descends
// through one. Each folder is asked once per run, from the root downward, and the walk ends at
// the first folder that does not exist, so a deep entry costs no more than its length.
class link_guard {
public:
    // True when a folder between `root` (exclusive) and `p` (exclusive) is a link.
    bool passes_through_link(const fs::path& p, const fs::path& root) {
        const std::wstring text = p.wstring();
        for (std::size_t end = root.wstring().size() + 1; end < text.size(); ++end) {
            if (text[end] != L'\\' && text[end] != L'/') continue;
            if (text[end - 1] == L'\\' || text[end - 1] == L'/') continue;
            const std::wstring folder = text.substr(0, end);
            auto found = folders_.find(folder);
            if (found == folders_.end()) found = folders_.emplace(folder, ask(folder)).first;
            if (found->second == state::link) return true;
            if (found->second == state::missing) return false;
        }
        return false;
    }

private:
    enum class state { plain, link, missing };
    static state ask(const std::wstring& folder) {
        const DWORD attributes = GetFileAttributesW(long_path(folder).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            // Nothing lies below a folder that is not there.
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return state::missing;
        }
        return is_link(folder) ? state::link : state::plain;
    }
    std::unordered_map<std::wstring, state> folders_;
};

// A file of ours that is in use may be let go in a moment (the uninstaller that handed over is
// still ending): it is tried again for a short while, shared by the whole run.
class retry_window {
public:
    bool wait() {
        const auto now = std::chrono::steady_clock::now();
        if (!started_) {
            started_ = true;
            deadline_ = now + std::chrono::milliseconds(2000);
        }
        if (now >= deadline_) return false;
        Sleep(50);
        return true;
    }

private:
    bool started_ = false;
    std::chrono::steady_clock::time_point deadline_;
};

// The running program's own file cannot be deleted while it runs.
bool is_running_program(const fs::path& p) {
    const fs::path self = own_exe_path();
    return !self.empty() && same_file(self, p);
}

class remover {
public:
    // Removes `p` when its text lies below `root`, no link leads on the way, and it really lies
    // there; a file of ours that stays in use is tried again while the retry window lasts.
    [[nodiscard]] removal remove_below(const fs::path& p, const fs::path& root, bool patient = true) {
        if (p.native().size() > longest_path || !is_below_root(p, root) || links_.passes_through_link(p, root))
            return removal::elsewhere;
        for (;;) {
            const removal outcome = remove_entry(p, root);
            if (outcome != removal::failed || !patient) return outcome;
            if (!window_.wait()) return removal::failed;
        }
    }

    // Opens `p` below `root` for its deletion and holds it against any other open, so that its
    // deletion cannot fail later. False when it is there and cannot be held.
    bool hold(const fs::path& p, const fs::path& root, removable_entry& held) {
        if (p.native().size() > longest_path || !is_below_root(p, root) || links_.passes_through_link(p, root))
            return true;
        for (;;) {
            held = open_for_removal(p, root, 0);
            if (held.outcome() != removal::failed) return true;
            if (!window_.wait()) return false;
        }
    }

    // Holds the running uninstaller `p` for its move, waiting while another program has it.
    running_uninstaller::hold_state hold_running(running_uninstaller& self, const fs::path& p) {
        for (;;) {
            const running_uninstaller::hold_state state = self.hold(p);
            if (state != running_uninstaller::hold_state::in_use || !window_.wait()) return state;
        }
    }

    // Removes `p` when it lies below one of `roots`; false when it does and is still there.
    bool remove_listed(const fs::path& p, const std::vector<fs::path>& roots) {
        for (const fs::path& root : roots) {
            if (!is_below_root(p, root)) continue;
            return remove_below(p, root) != removal::failed;
        }
        return true;
    }

    // Sweeps the leftovers of `names` from `folder`; false with `left` set when one stays.
    bool sweep(const fs::path& folder, const std::vector<std::wstring>& names, fs::path& left) {
        for (const fs::path& p : sweep_leftovers(folder, names)) {
            if (remove_below(p, folder) != removal::failed) continue;
            left = p;
            return false;
        }
        return true;
    }

private:
    link_guard links_;
    retry_window window_;
};

// Whether anything lies at `p`, links followed (a dangling link holds nothing); a name that
// cannot be asked counts as there.
bool something_at(const fs::path& p) {
    const win32::unique_handle found(CreateFileW(long_path(p).c_str(), 0,
                                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (found) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

// True when a file of ours lies in `folder`: one of `own` names (in any letter case) or a
// placement leftover of one, or a file of `listed` below it. A folder that cannot be listed
// may hold one.
bool holds_ours(const fs::path& folder, const std::vector<std::wstring>& own, const std::vector<fs::path>& listed) {
    for (const std::wstring& file : own)
        if (something_at(folder / file)) return true;
    std::vector<std::wstring> names;
    if (!folder_names(folder, names)) return something_at(folder);
    for (const std::wstring& name : names)
        for (const std::wstring& file : own)
            if (is_leftover_name(name, file)) return true;
    for (const fs::path& p : listed)
        if (is_below_root(p, folder) && something_at(p)) return true;
    return false;
}

// A folder Setup writes to, held for the run so that it keeps its name: no link can take its
// place, nor can a link in its place be swapped for it. One that is a link is none of Setup's
// (the install never writes through one): nothing is removed through it, and a file of ours
// behind it, which would stay, stops the uninstall. One that is not there holds nothing of
// ours, and whatever is put there meanwhile is not entered either.
class own_folder {
public:
    own_folder(const fs::path& folder, const std::vector<std::wstring>& own, const std::vector<fs::path>& listed) {
        if (!folder.is_absolute()) return;
        hold_ = hold_folder(folder);
        const std::string name = wide_to_utf8(folder.filename().wstring());
        // Held, the name still names what was opened: a link there is that link.
        if (is_link(folder)) {
            if (holds_ours(folder, own, listed)) refusal_ = "A link is in the way of " + name + ".";
        } else if (hold_) {
            path_ = folder;
        } else if (something_at(folder)) {
            refusal_ = "Could not remove " + name + ". Close it and try again.";
        }
    }
    // Empty for a link or a folder that is not there.
    const fs::path& path() const { return path_; }
    // Why the uninstall cannot run, or "".
    const std::string& refusal() const { return refusal_; }
    // Before the folder itself goes.
    void let_go() { hold_.reset(); }

private:
    fs::path path_;
    std::string refusal_;
    win32::unique_handle hold_;
};

// The install and script folders, and the settings folder, which holds no file of ours by name
// that must go (its files go when they can).
struct own_folders {
    own_folder install, scripts, settings;
    explicit own_folders(const std::vector<fs::path>& listed)
        : install(install_dir(), install_folder_names(), listed),
          scripts(resolve_scripts_dir(), {product_info.script_name}, listed),
          settings(settings_folder(), {}, listed) {}
    static std::vector<std::wstring> install_folder_names() {
        std::vector<std::wstring> names = install_folder_file_names();
        names.push_back(install_record_name);
        return names;
    }
    std::string refusal() const {
        for (const own_folder* folder : {&install, &scripts, &settings})
            if (!folder->refusal().empty()) return folder->refusal();
        return {};
    }
};

void append_missing(std::vector<fs::path>& list, const fs::path& p) {
    if (!p.is_absolute()) return;
    for (const fs::path& known : list)
        if (known == p) return;
    list.push_back(p);
}

}  // namespace

running_uninstaller* in_place_uninstaller = nullptr;

running_uninstaller::running_uninstaller(std::function<bool(const fs::path&)> deletable_later)
    : deletable_later_(std::move(deletable_later)) {}

running_uninstaller::~running_uninstaller() { let_go(); }

void running_uninstaller::let_go() {
    std::ignore = reserved_.remove();
    self_ = removable_entry();
}

running_uninstaller::hold_state running_uninstaller::hold(const fs::path& file) {
    let_go();
    moved_to_.clear();
    // Read sharing only: nobody can delete, rename or write it while it is held, and a program
    // that has it open without delete sharing makes this open fail now, before the entry goes.
    removable_entry self = open_for_removal(file, file.parent_path(), FILE_SHARE_READ);
    if (!self.held())
        return self.outcome() == removal::failed ? hold_state::in_use : hold_state::no_place;
    // The reserved name is a placement leftover, which any sweep removes after an interruption.
    for (unsigned attempt = 0; attempt < 10 && !reserved_.held(); ++attempt) {
        reserved_name_ = file.wstring() + backup_infix + std::to_wstring(GetTickCount64() + attempt);
        reserved_ = create_new_file(reserved_name_);
    }
    if (!reserved_.held()) return hold_state::no_place;
    if (!deletable_later_(reserved_name_)) {
        std::ignore = reserved_.remove();
        return hold_state::no_place;
    }
    file_ = file;
    self_ = std::move(self);
    return hold_state::held;
}

bool running_uninstaller::move_aside() {
    if (!self_.held()) return false;
    // The reservation is let go only now, so the name is free for the move; a name taken in
    // that moment is passed over for a fresh one.
    std::ignore = reserved_.remove();
    for (unsigned attempt = 0; attempt < 10; ++attempt) {
        const fs::path to =
            attempt == 0 ? reserved_name_
                         : fs::path(file_.wstring() + backup_infix + std::to_wstring(GetTickCount64() + attempt));
        if (!self_.rename_to(to)) continue;
        moved_to_ = to;
        return true;
    }
    return false;
}

std::function<void(const char*)> uninstall_step_hook;

bool is_below_root(const fs::path& p, const fs::path& folder) {
    if (folder.empty() || !p.is_absolute() || steps_up_or_aside(p)) return false;
    const std::wstring root = folder.wstring() + L"\\";
    return p.wstring().compare(0, root.size(), root) == 0;
}

std::string uninstall_refusal() {
    std::string refusal = blocking_program_message();
    if (refusal.empty()) refusal = own_folders(string_paths(read_install_record(), "files")).refusal();
    return refusal;
}

std::string blocking_program_message() {
    for (const std::wstring& name : product_info.blocking_processes) {
        if (!is_process_running(name)) continue;
        const std::wstring bare = name.size() < 4 ? name : name.substr(0, name.size() - 4);
        return "Close " + wide_to_utf8(bare) + " first, then try again.";
    }
    return {};
}

op_result run_uninstall(const progress_fn& progress) {
    op_result result;
    result.record = json::object();

    result.error = blocking_program_message();
    if (!result.error.empty()) return result;

    progress(10, "Reading what was installed");
    const json record = read_install_record();
    std::vector<fs::path> files = string_paths(record, "files");
    own_folders folders(files);
    result.error = folders.refusal();
    if (!result.error.empty()) return result;
    const fs::path& dir = folders.install.path();
    const fs::path& scripts = folders.scripts.path();
    const fs::path& settings = folders.settings.path();
    // The record's files, then the product's own files wherever the record forgot them: a record
    // that lists only foreign paths must not leave the product behind.
    if (dir.is_absolute()) {
        append_missing(files, dir / product_info.companion_exe);
        append_missing(files, dir / L"SETUP.md");
    }
    if (scripts.is_absolute()) append_missing(files, scripts / product_info.script_name);

    progress(45, "Removing files");
    remover remove;
    // Only the folders Setup writes to: files found anywhere else are left alone.
    const std::vector<fs::path> file_roots = {dir, scripts, settings};
    fs::path left;  // the first file of ours that is still there
    // The record and the uninstaller belong to the last steps, whatever the record lists: gone
    // here, a later failure would keep an entry that points at nothing.
    const auto last_steps_own = [&dir](const fs::path& p) {
        return dir.is_absolute() && (same_file(p, dir / install_record_name) || same_file(p, dir / uninstaller_name));
    };
    for (const fs::path& p : files) {
        if (last_steps_own(p)) continue;
        if (!remove.remove_listed(p, file_roots)) {
            if (left.empty()) left = p;
            continue;
        }
        if (is_below_root(p, dir)) prune_empty_dirs(p.parent_path(), dir);
    }

    progress(65, "Removing shortcuts");
    const std::vector<fs::path> shortcut_roots = {known_folder(FOLDERID_Desktop, L"Desktop"),
                                                  known_folder(FOLDERID_Programs, L"StartMenu\\Programs")};
    for (const fs::path& shortcut : string_paths(record, "shortcuts"))
        if (ends_in_lnk(shortcut) && !remove.remove_listed(shortcut, shortcut_roots) && left.empty())
            left = shortcut;

    // Something of ours is still there: the entry and the record stay, so that the uninstall
    // can be tried again from Settings.
    const auto stays = [&result](const fs::path& p) {
        result.error = "Could not remove " + wide_to_utf8(p.filename().wstring()) + ". Close it and try again.";
        return result;
    };
    if (!left.empty()) return stays(left);

    progress(80, "Removing settings");
    const auto step = [](const char* name) {
        if (uninstall_step_hook) uninstall_step_hook(name);
    };
    if (scripts.is_absolute() && !remove.sweep(scripts, {product_info.script_name}, left)) return stays(left);
    if (dir.is_absolute() && !remove.sweep(dir, install_folder_file_names(), left)) return stays(left);
    const fs::path roaming = roaming_folder();
    if (roaming.is_absolute() && settings.is_absolute()) {
        std::ignore = remove.remove_below(settings / product_info.settings_file, settings, false);
        std::ignore = remove.remove_below(settings / L"companion.txt", settings, false);
        folders.settings.let_go();
        prune_empty_dirs(settings, roaming);
    }

    // While the entry exists, the uninstaller it starts and the record exist, so that a retry
    // from Settings or from Setup can always finish: both are held for their deletion first.
    step("hold");
    removable_entry record_file, uninstaller;
    // The uninstaller that runs this uninstall cannot be deleted, only moved aside.
    const bool runs_from_it = dir.is_absolute() && is_running_program(dir / uninstaller_name);
    running_uninstaller* const moving = runs_from_it ? in_place_uninstaller : nullptr;
    // A run that ends without success, by a failure or an exception, lets the hold go.
    struct let_go_unless_done {
        running_uninstaller* self;
        const op_result& result;
        ~let_go_unless_done() {
            if (self && !result.ok) self->let_go();
        }
    } const hold_scope{moving, result};
    if (dir.is_absolute()) {
        if (!remove.hold(dir / install_record_name, dir, record_file)) return stays(dir / install_record_name);
        if (!runs_from_it) {
            if (!remove.hold(dir / uninstaller_name, dir, uninstaller)) return stays(dir / uninstaller_name);
        } else if (!moving) {
            return stays(dir / uninstaller_name);
        } else if (const auto state = remove.hold_running(*moving, dir / uninstaller_name);
                   state == running_uninstaller::hold_state::in_use) {
            return stays(dir / uninstaller_name);
        } else if (state == running_uninstaller::hold_state::no_place) {
            result.error = "Could not remove " + wide_to_utf8(uninstaller_name) + ".";
            return result;
        }
    }
    step("entry");
    if (!reg_delete_key(uninstall_key_prefix + product_info.uninstall_key)) {
        result.error = "Could not remove the uninstall entry. Try again.";
        return result;
    }
    // Held files go now; one that still fails (a program image let go only as its process ends)
    // is tried again for the rest of the retry window.
    step("record");
    if (record_file.remove() == removal::failed && remove.remove_below(dir / install_record_name, dir) == removal::failed)
        return stays(dir / install_record_name);
    step("uninstaller");
    if (moving ? !moving->move_aside()
               : uninstaller.remove() == removal::failed &&
                     remove.remove_below(dir / uninstaller_name, dir) == removal::failed)
        return stays(dir / uninstaller_name);
    step("folders");
    folders.install.let_go();
    if (dir.is_absolute()) prune_empty_dirs(dir, known_folder(FOLDERID_LocalAppData, L"Local"));

    progress(100, "Done");
    result.ok = true;
    return result;
}

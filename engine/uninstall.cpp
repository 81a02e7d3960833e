#include "uninstall.h"

#include <windows.h>
#include <knownfolders.h>

#include <system_error>
#include <vector>

#include "detection.h"
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

// True when a folder between `root` (exclusive) and `p` (exclusive) is a link or junction:
// removal never descends through one.
bool passes_through_link(const fs::path& p, const fs::path& root) {
    for (fs::path folder = p.parent_path(); folder != root && folder.has_relative_path();
         folder = folder.parent_path()) {
        if (folder.parent_path() == folder) break;
        if (is_link(folder)) return true;
    }
    return false;
}

// Removes `p` when its text lies below `root`, no link leads on the way, and it really lies there.
removal remove_below(const fs::path& p, const fs::path& root) {
    if (!is_below_root(p, root) || passes_through_link(p, root)) return removal::elsewhere;
    return remove_entry(p, root);
}

// Removes `p` when it lies below one of `roots`; false when it does and is still there.
bool remove_listed(const fs::path& p, const std::vector<fs::path>& roots) {
    for (const fs::path& root : roots) {
        if (!is_below_root(p, root)) continue;
        return remove_below(p, root) != removal::failed;
    }
    return true;
}

void append_missing(std::vector<fs::path>& list, const fs::path& p) {
    if (!p.is_absolute()) return;
    for (const fs::path& known : list)
        if (known == p) return;
    list.push_back(p);
}

}  // namespace

bool is_below_root(const fs::path& p, const fs::path& folder) {
    if (folder.empty() || !p.is_absolute() || steps_up_or_aside(p)) return false;
    const std::wstring root = folder.wstring() + L"\\";
    return p.wstring().compare(0, root.size(), root) == 0;
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
    const fs::path dir = install_dir();
    const fs::path scripts = resolve_scripts_dir();
    // The record's files, then the product's own files wherever the record forgot them: a record
    // that lists only foreign paths must not leave the product behind.
    std::vector<fs::path> files = string_paths(record, "files");
    if (dir.is_absolute()) {
        append_missing(files, dir / product_info.companion_exe);
        append_missing(files, dir / L"SETUP.md");
    }
    if (scripts.is_absolute()) append_missing(files, scripts / product_info.script_name);

    progress(45, "Removing files");
    // Only the folders Setup writes to: files found anywhere else are left alone.
    const std::vector<fs::path> file_roots = {dir, scripts, settings_folder()};
    fs::path left;  // the first file of ours that is still there
    for (const fs::path& p : files) {
        if (!remove_listed(p, file_roots)) {
            if (left.empty()) left = p;
            continue;
        }
        if (is_below_root(p, dir)) prune_empty_dirs(p.parent_path(), dir);
    }

    progress(65, "Removing shortcuts");
    const std::vector<fs::path> shortcut_roots = {known_folder(FOLDERID_Desktop, L"Desktop"),
                                                  known_folder(FOLDERID_Programs, L"StartMenu\\Programs")};
    for (const fs::path& shortcut : string_paths(record, "shortcuts"))
        if (ends_in_lnk(shortcut) && !remove_listed(shortcut, shortcut_roots) && left.empty()) left = shortcut;

    // Something of ours is still there: the entry and the record stay, so that the uninstall
    // can be tried again from Settings.
    if (!left.empty()) {
        result.error = "Could not remove " + wide_to_utf8(left.filename().wstring()) + ". Close it and try again.";
        return result;
    }

    progress(80, "Removing settings");
    const fs::path roaming = roaming_folder();
    if (roaming.is_absolute()) {
        const fs::path settings = settings_folder();
        remove_below(settings / product_info.settings_file, settings);
        remove_below(settings / L"companion.txt", settings);
        prune_empty_dirs(settings, roaming);
    }
    if (scripts.is_absolute()) sweep_leftovers(scripts, {product_info.script_name});
    reg_delete_key(uninstall_key_prefix + product_info.uninstall_key);
    if (dir.is_absolute()) {
        remove_below(dir / install_record_name, dir);
        remove_below(dir / uninstaller_name, dir);
        sweep_leftovers(dir, install_folder_file_names());
        prune_empty_dirs(dir, known_folder(FOLDERID_LocalAppData, L"Local"));
    }

    progress(100, "Done");
    result.ok = true;
    return result;
}

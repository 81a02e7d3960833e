#include "uninstall.h"

#include <windows.h>
#include <knownfolders.h>

#include <system_error>
#include <vector>

#include "detection.h"
#include "folders.h"
#include "install_record.h"
#include "placement.h"
#include "registry.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

// Only absolute paths are ever removed: a relative one would name something in the current folder.
void remove_absolute(const fs::path& p) {
    if (!p.is_absolute()) return;
    std::error_code ec;
    fs::remove(p, ec);
}

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

}  // namespace

bool is_below_root(const fs::path& p, const fs::path& folder) {
    if (folder.empty() || !p.is_absolute() || steps_up_or_aside(p)) return false;
    const std::wstring root = folder.wstring() + L"\\";
    return p.wstring().compare(0, root.size(), root) == 0;
}

op_result run_uninstall(const progress_fn& progress) {
    op_result result;
    result.record = json::object();

    for (const std::wstring& name : product_info.blocking_processes) {
        if (!is_process_running(name)) continue;
        const std::wstring bare = name.size() < 4 ? name : name.substr(0, name.size() - 4);
        result.error = "Close " + wide_to_utf8(bare) + " first, then try again.";
        return result;
    }

    progress(10, "Reading what was installed");
    const json record = read_install_record();
    const fs::path dir = install_dir();
    std::vector<fs::path> files = string_paths(record, "files");
    if (files.empty()) {
        // Paths built on a folder that could not be found are relative and are dropped below.
        if (dir.is_absolute()) {
            files.push_back(dir / product_info.companion_exe);
            files.push_back(dir / L"SETUP.md");
        }
        const fs::path scripts = resolve_scripts_dir();
        if (scripts.is_absolute()) files.push_back(scripts / product_info.script_name);
    }

    progress(45, "Removing files");
    for (const fs::path& p : files) {
        if (is_below_root(p, dir)) {
            remove_absolute(p);
            prune_empty_dirs(p.parent_path(), dir);
        } else if (is_below_root(p, roaming_folder()) ||
                   is_below_root(p, known_folder(FOLDERID_StartMenu, L"StartMenu"))) {
            remove_absolute(p);
        }
    }

    progress(65, "Removing shortcuts");
    for (const fs::path& shortcut : string_paths(record, "shortcuts"))
        if (ends_in_lnk(shortcut)) remove_absolute(shortcut);

    progress(80, "Removing settings");
    const fs::path roaming = roaming_folder();
    if (roaming.is_absolute()) {
        const fs::path settings = roaming / L"Vantrel";
        remove_absolute(settings / product_info.settings_file);
        remove_absolute(settings / L"companion.txt");
        prune_empty_dirs(settings, roaming);
    }
    reg_delete_key(uninstall_key_prefix + product_info.uninstall_key);
    if (dir.is_absolute()) {
        remove_absolute(dir / install_record_name);
        remove_absolute(dir / L"uninstall.exe");
        sweep_leftovers(dir);
        prune_empty_dirs(dir, known_folder(FOLDERID_LocalAppData, L"Local"));
    }

    progress(100, "Done");
    result.ok = true;
    return result;
}

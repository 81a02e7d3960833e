#include "install.h"

#include <system_error>
#include <tuple>

#include "detection.h"
#include "folders.h"
#include "file_removal.h"
#include "install_record.h"
#include "payload.h"
#include "payload_layout.h"
#include "placement.h"
#include "registry.h"
#include "text.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* registering_failed = "Could not finish registering the installation.";

// The running program placed as the uninstaller, the same safe way as the product files: a
// running uninstaller is renamed aside.
bool place_uninstaller(const fs::path& uninstaller, op_result& result) {
    const fs::path self = own_exe_path();
    if (self == uninstaller) return true;
    std::vector<unsigned char> bytes;
    if (self.empty() || !read_file_bytes(self, bytes)) {
        result.error = registering_failed;
        return false;
    }
    std::string error;
    if (write_file_replacing(uninstaller, bytes, error)) return true;
    result.error = error;
    return false;
}

}  // namespace

std::vector<std::wstring> install_folder_file_names() {
    return {product_info.companion_exe, L"SETUP.md", uninstaller_name};
}

std::vector<fs::directory_entry> folder_entries(const fs::path& folder) {
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; it != end; ++it) entries.push_back(*it);
    return entries;
}

std::uint64_t regular_file_bytes(const std::vector<fs::directory_entry>& entries) {
    std::uint64_t sum = 0;
    for (const fs::directory_entry& entry : entries) {
        std::error_code ec;
        // The type the listing reported, or the linked-to file's status when it reported none
        // or a link.
        if (!entry.is_regular_file(ec)) continue;
        const std::uintmax_t size = fs::file_size(entry.path(), ec);
        // Gone since the listing: the failed query's value is not a size.
        if (ec) continue;
        sum += size;
    }
    return sum;
}

std::uint32_t estimated_size_kib(const fs::path& folder) {
    return static_cast<std::uint32_t>(regular_file_bytes(folder_entries(folder)) >> 10);
}

op_result run_install(const progress_fn& progress) {
    op_result result;
    result.record = json{{"files", json::array()}, {"registry", json::array()}, {"shortcuts", json::array()}};

    progress(4, "Checking the installer");
    if (!load_payload(result.error)) return result;
    fs::path dir = install_dir();
    std::error_code ec;
    // Without its known folder the path would be relative to the current folder.
    if (!dir.is_absolute()) {
        result.error = "Could not create " + wide_to_utf8(dir.wstring()) + ".";
        return result;
    }
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(fs::status(dir, ec))) {
        result.error = "Could not create " + wide_to_utf8(dir.wstring()) + ".";
        return result;
    }
    sweep_leftovers(dir, install_folder_file_names());
    const fs::path scripts = resolve_scripts_dir();
    if (scripts.is_absolute()) sweep_leftovers(scripts, {product_info.script_name});
    const bool found_resolve = find_resolve();
    const bool found_python = find_python();

    progress(18, "Installing the Vantrel window");
    if (!install_payload_file("VantrelCompanion.exe", dir / product_info.companion_exe, result)) return result;

    progress(40, "Adding Vantrel to Resolve's Scripts menu");
    if (!install_payload_file("Vantrel.py", resolve_scripts_dir() / product_info.script_name, result))
        return result;

    progress(58, "Adding the setup guide");
    if (!install_payload_file("SETUP.md", dir / L"SETUP.md", result)) return result;
    std::ignore = remove_entry(dir / L"unins000.exe", dir);
    std::ignore = remove_entry(dir / L"unins000.dat", dir);
    if (!found_python) result.notes.push_back("python");
    if (!found_resolve) result.notes.push_back("no-resolve");
    if (is_process_running(L"Resolve.exe")) result.notes.push_back("restart-resolve");

    progress(82, "Registering with Windows");
    dir = install_dir();
    const fs::path uninstaller = dir / uninstaller_name;
    if (!place_uninstaller(uninstaller, result)) return result;
    const std::wstring key = uninstall_key_prefix + product_info.uninstall_key;
    const std::wstring quoted = L"\"" + uninstaller.wstring() + L"\"";
    // A stale entry that stays is overwritten value by value below.
    std::ignore = reg_delete_key(key);
    // Every value is written even after one failed, so that the entry is as complete as it can be.
    bool registered = reg_set_string(key, L"DisplayName", utf8_to_wide(product_info.name));
    registered &= reg_set_string(key, L"DisplayVersion", utf8_to_wide(product_info.version));
    registered &= reg_set_string(key, L"Publisher", L"Vantrel");
    registered &= reg_set_string(key, L"URLInfoAbout", utf8_to_wide(maker_url));
    registered &= reg_set_string(key, L"InstallLocation", dir.wstring());
    registered &= reg_set_string(key, L"DisplayIcon", (dir / product_info.companion_exe).wstring());
    registered &= reg_set_string(key, L"UninstallString", quoted + L" --uninstall");
    registered &= reg_set_string(key, L"QuietUninstallString", quoted + L" --uninstall --silent");
    registered &= reg_set_dword(key, L"NoModify", 1);
    registered &= reg_set_dword(key, L"NoRepair", 1);
    registered &= reg_set_dword(key, L"EstimatedSize", estimated_size_kib(dir));
    if (!registered) {
        result.error = registering_failed;
        return result;
    }

    result.record["registry"].push_back(wide_to_utf8(key));
    result.record["product"] = product_info.kind;
    result.record["channel"] = product_info.channel;
    result.record["version"] = product_info.version;
    if (!write_install_record(install_dir() / install_record_name, result.record)) {
        result.error = registering_failed;
        return result;
    }

    progress(100, "Done");
    result.ok = true;
    return result;
}

#include "placement.h"

#include <windows.h>

#include <fstream>
#include <system_error>

#include "text.h"

namespace fs = std::filesystem;

namespace {

std::string file_name_text(const fs::path& target) { return wide_to_utf8(target.filename().wstring()); }

// The library's status query does not report links on every platform, so the reparse tag is
// asked as well: a symbolic link or a junction could point the write anywhere.
bool is_link(const fs::path& p) {
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(p, ec))) return true;
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileW(p.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (data.dwReserved0 == IO_REPARSE_TAG_SYMLINK || data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT);
}

bool ends_with(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

bool write_file_replacing(const fs::path& target, const std::vector<unsigned char>& bytes, std::string& error) {
    const fs::path folder = target.parent_path();
    // A relative target would land in whatever the current folder happens to be.
    if (!target.is_absolute()) {
        error = "Could not write to " + wide_to_utf8(folder.wstring()) + ".";
        return false;
    }
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (is_link(folder) || is_link(target)) {
        error = "A link is in the way of " + file_name_text(target) + ".";
        return false;
    }

    const fs::path temporary = target.wstring() + temporary_suffix;
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) {
        error = "Could not write to " + wide_to_utf8(folder.wstring()) + ".";
        return false;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.flush();
    if (!out) {
        out.close();
        fs::remove(temporary, ec);
        error = "The disk may be full.";
        return false;
    }
    out.close();

    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;

    // A running program cannot be replaced but can be renamed; the next sweep removes it.
    const fs::path backup = target.wstring() + backup_infix + std::to_wstring(GetTickCount64());
    const bool aside = MoveFileExW(target.c_str(), backup.c_str(), 0) != 0;
    if (aside && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    // Put the old file back: left under the backup name, the next sweep would delete it.
    if (aside) MoveFileExW(backup.c_str(), target.c_str(), 0);
    fs::remove(temporary, ec);
    error = "Could not replace " + file_name_text(target) + ". Close it and try again.";
    return false;
}

void sweep_leftovers(const fs::path& folder) {
    std::error_code ec;
    if (!fs::is_directory(fs::status(folder, ec))) return;
    const std::wstring suffix = temporary_suffix;
    for (fs::directory_iterator it(folder, ec), end; it != end; ++it) {
        const std::wstring name = it->path().filename().wstring();
        const bool backup = name.find(backup_infix) != std::wstring::npos;
        const bool temporary = name.size() > suffix.size() && ends_with(name, suffix);
        if (backup || temporary) fs::remove(it->path(), ec);
    }
}

bool install_payload_file(const std::string& entry, const fs::path& target, op_result& result) {
    const std::vector<unsigned char>& bytes = payload_files.at(entry);
    std::string error;
    if (!write_file_replacing(target, bytes, error)) {
        result.error = error;
        return false;
    }
    result.record["files"].push_back(wide_to_utf8(target.wstring()));
    return true;
}

void prune_empty_dirs(fs::path start, const fs::path& stop) {
    fs::path p = std::move(start);
    while (!p.empty()) {
        if (p == stop) return;
        // A drive or share root is its own parent: the walk ends there.
        if (!p.has_relative_path() || p.parent_path() == p) return;
        std::error_code ec;
        if (!fs::is_directory(fs::status(p, ec)) || ec) return;
        const bool empty = fs::is_empty(p, ec);
        if (ec || !empty) return;
        fs::remove(p, ec);
        p = p.parent_path();
    }
}

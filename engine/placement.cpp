#include "placement.h"

#include <windows.h>

#include <algorithm>
#include <system_error>
#include <tuple>
#include <vector>

#include "file_removal.h"
#include "payload_layout.h"
#include "text.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

std::string file_name_text(const fs::path& target) { return wide_to_utf8(target.filename().wstring()); }

bool all_digits(const std::wstring& text) {
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

}  // namespace

bool write_all(HANDLE file, const std::vector<unsigned char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t left = bytes.size() - done;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return FlushFileBuffers(file) != 0;
}

bool read_file_bytes(const fs::path& file, std::vector<unsigned char>& bytes) {
    const win32::unique_handle in(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!in || !GetFileSizeEx(in.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > payload_max_size)
        return false;
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        if (!ReadFile(in.get(), bytes.data() + done, want, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

bool same_file(const fs::path& a, const fs::path& b) {
    const auto identity = [](const fs::path& name, BY_HANDLE_FILE_INFORMATION& info) {
        const win32::unique_handle file(CreateFileW(long_path(name).c_str(), FILE_READ_ATTRIBUTES,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        return file && GetFileInformationByHandle(file.get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION x{}, y{};
    if (!identity(a, x) || !identity(b, y)) return false;
    return x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// The library's status query does not report links on every platform, so the reparse tag is
// asked as well: a symbolic link or a junction could point the write anywhere. Wine reports
// its links with the attribute but without a tag.
bool is_link(const fs::path& p) {
    std::error_code ec;
    const std::wstring name = long_path(p);
    if (fs::is_symlink(fs::symlink_status(name, ec))) return true;
    WIN32_FIND_DATAW data;
    const win32::unique_find find(FindFirstFileW(name.c_str(), &data));
    if (!find) return false;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return data.dwReserved0 == IO_REPARSE_TAG_SYMLINK || data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT ||
           data.dwReserved0 == 0;
}

bool is_leftover_name(const std::wstring& name, const std::wstring& file) {
    if (name.size() <= file.size() || name.compare(0, file.size(), file) != 0) return false;
    const std::wstring rest = name.substr(file.size());
    if (rest == temporary_suffix) return true;
    const std::wstring infix = backup_infix;
    return rest.compare(0, infix.size(), infix) == 0 && all_digits(rest.substr(infix.size()));
}

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

    // Whatever already has the temporary's name (a stale copy, a planted link or hard link) is
    // removed, never written through: the temporary is always a file of our own making.
    const fs::path temporary = target.wstring() + temporary_suffix;
    if (remove_entry(temporary, folder) == removal::elsewhere) {
        error = "A link is in the way of " + file_name_text(target) + ".";
        return false;
    }
    bool written = false;
    {
        const win32::unique_handle out(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) {
            error = "Could not write to " + wide_to_utf8(folder.wstring()) + ".";
            return false;
        }
        written = write_all(out.get(), bytes);
    }
    if (!written) {
        std::ignore = remove_entry(temporary, folder);
        error = "The disk may be full.";
        return false;
    }

    if (MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;

    // A running program cannot be replaced but can be renamed; the next sweep removes it.
    const fs::path backup = target.wstring() + backup_infix + std::to_wstring(GetTickCount64());
    const bool aside = MoveFileExW(target.c_str(), backup.c_str(), 0) != 0;
    if (aside && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    // Put the old file back: left under the backup name, the next sweep would delete it.
    if (aside) MoveFileExW(backup.c_str(), target.c_str(), 0);
    std::ignore = remove_entry(temporary, folder);
    error = "Could not replace " + file_name_text(target) + ". Close it and try again.";
    return false;
}

std::vector<fs::path> sweep_leftovers(const fs::path& folder, const std::vector<std::wstring>& files) {
    std::vector<fs::path> left;
    std::error_code ec;
    const fs::path listed = long_path(folder);
    // A folder that is a link is none of Setup's (nothing is placed through one): whatever lies
    // behind it is someone else's, whatever its name.
    if (!fs::is_directory(fs::status(listed, ec)) || is_link(folder)) return left;
    for (fs::directory_iterator it(listed, ec), end; it != end; ++it) {
        const std::wstring name = it->path().filename().wstring();
        for (const std::wstring& file : files) {
            if (!is_leftover_name(name, file)) continue;
            if (remove_entry(it->path(), folder) == removal::failed) left.push_back(folder / name);
            break;
        }
    }
    return left;
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
        // A link is not ours to remove, nor is whatever lies above it.
        if (is_link(p)) return;
        std::error_code ec;
        if (!fs::is_directory(fs::status(long_path(p), ec)) || ec) return;
        std::vector<std::wstring> names;
        if (!folder_names(p, names) || !names.empty()) return;
        if (remove_entry(p, p.parent_path()) != removal::gone) return;
        p = p.parent_path();
    }
}

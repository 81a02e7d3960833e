#include "placement.h"

#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <string_view>
#include <system_error>
#include <vector>

#include "payload_layout.h"
#include "text.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

std::string file_name_text(const fs::path& target) { return wide_to_utf8(target.filename().wstring()); }

bool all_digits(const std::wstring& text) {
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

// The same place as the volume's serial number and the path on that volume: Wine cannot give the
// final path of a long name. Empty on failure.
std::wstring volume_path(HANDLE object) {
    BY_HANDLE_FILE_INFORMATION file{};
    if (!GetFileInformationByHandle(object, &file)) return {};
    std::vector<unsigned char> buffer(sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t));
    if (!GetFileInformationByHandleEx(object, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size())))
        return {};
    const auto* name = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    const std::wstring text(name->FileName, name->FileNameLength / sizeof(wchar_t));
    if (text.empty() || text[0] != L'\\') return {};
    return std::to_wstring(file.dwVolumeSerialNumber) + text;
}

win32::unique_handle open_folder(const fs::path& folder) {
    return win32::unique_handle(CreateFileW(long_path(folder).c_str(), FILE_READ_ATTRIBUTES,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

bool starts_with_folder(const std::wstring& text, const std::wstring& folder) {
    if (folder.empty() || text.size() <= folder.size() + 1 || text[folder.size()] != L'\\') return false;
    // The file system decides letter case; the callers' text tests are exact.
    return CompareStringOrdinal(text.c_str(), static_cast<int>(folder.size()), folder.c_str(),
                                static_cast<int>(folder.size()), TRUE) == CSTR_EQUAL;
}

// The library's emptiness test does not take the long form of a path.
bool is_empty_folder(const fs::path& folder) {
    WIN32_FIND_DATAW data;
    const win32::unique_find find(FindFirstFileW((long_path(folder) + L"\\*").c_str(), &data));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") return false;
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
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

std::wstring final_path(HANDLE object) {
    return win32::read_growing(
        [object](wchar_t* buffer, DWORD size) { return GetFinalPathNameByHandleW(object, buffer, size, 0); });
}

removal remove_entry(const fs::path& p, const fs::path& root) {
    // Opened as the entry itself where Windows can (a final link is not followed); where it is
    // followed all the same (Wine), the resolved place tells. The long form also keeps a name
    // such as CON from meaning a device.
    const win32::unique_handle object(CreateFileW(long_path(p).c_str(),
                                                  DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                  OPEN_EXISTING,
                                                  FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!object) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return removal::gone;
        return GetFileAttributesW(long_path(p).c_str()) == INVALID_FILE_ATTRIBUTES ? removal::gone
                                                                                    : removal::failed;
    }
    // A device or pipe is nothing Setup made.
    if (GetFileType(object.get()) != FILE_TYPE_DISK) return removal::elsewhere;
    const win32::unique_handle root_object = open_folder(root);
    std::wstring real_root = root_object ? final_path(root_object.get()) : std::wstring();
    std::wstring real_path = final_path(object.get());
    if (root_object && (real_root.empty() || real_path.empty())) {
        real_root = volume_path(root_object.get());
        real_path = volume_path(object.get());
    }
    // Where it lies cannot be learnt: it is still there, and never taken for someone else's.
    if (real_root.empty() || real_path.empty()) return removal::failed;
    if (!starts_with_folder(real_path, real_root)) return removal::elsewhere;
    FILE_BASIC_INFO basic{};
    const bool known = GetFileInformationByHandleEx(object.get(), FileBasicInfo, &basic, sizeof basic) != 0;
    const bool folder = known && (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    // A read-only file of ours is made writable through this handle, never through a link; a
    // file with other names keeps its attribute, which those names share.
    BY_HANDLE_FILE_INFORMATION links{};
    const bool unlock = known && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) &&
                        !(basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
                        GetFileInformationByHandle(object.get(), &links) && links.nNumberOfLinks <= 1;
    if (unlock) {
        FILE_BASIC_INFO writable{};  // times of zero stay as they are
        writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(object.get(), FileBasicInfo, &writable, sizeof writable);
    }
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (SetFileInformationByHandle(object.get(), FileDispositionInfo, &disposition, sizeof disposition))
        return removal::gone;
    if (unlock) {
        FILE_BASIC_INFO restored{};
        restored.FileAttributes = basic.FileAttributes;
        SetFileInformationByHandle(object.get(), FileBasicInfo, &restored, sizeof restored);
    }
    // A folder goes only when empty; one that still holds something is no failure to remove a file.
    return folder ? removal::kept_folder : removal::failed;
}

std::wstring long_path(const fs::path& p) {
    const std::wstring text = p.wstring();
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const bool drive = text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' && separator(text[2]);
    const bool share = text.size() >= 3 && separator(text[0]) && separator(text[1]) && !separator(text[2]) &&
                       text[2] != L'?' && text[2] != L'.';
    if (!drive && !share) return text;
    // The drive ("C:") or the share ("\\server\share"), which ".." never leaves.
    std::wstring out = L"\\\\?\\";
    std::size_t i = 0;
    if (share) {
        out += L"UNC";
        i = 2;
        for (int parts = 0; parts < 2; ++parts) {
            while (i < text.size() && separator(text[i])) ++i;
            const std::size_t start = i;
            while (i < text.size() && !separator(text[i])) ++i;
            out += L'\\';
            out.append(text, start, i - start);
        }
    } else {
        out.append(text, 0, 2);
        i = 2;
    }
    const std::size_t root = out.size();
    // Normalised the way Windows does before it opens a path, in one pass: the library's
    // normalisation costs the square of the number of folders.
    while (i < text.size()) {
        while (i < text.size() && separator(text[i])) ++i;
        const std::size_t start = i;
        while (i < text.size() && !separator(text[i])) ++i;
        const std::wstring_view name(text.data() + start, i - start);
        if (name.empty() || name == L".") continue;
        if (name == L"..") {
            if (out.size() > root) out.resize(out.rfind(L'\\'));
            continue;
        }
        out += L'\\';
        out += name;
    }
    if (out.size() == root) out += L'\\';
    return out;
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
        fs::remove(temporary, ec);
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
    fs::remove(temporary, ec);
    error = "Could not replace " + file_name_text(target) + ". Close it and try again.";
    return false;
}

std::vector<fs::path> sweep_leftovers(const fs::path& folder, const std::vector<std::wstring>& files) {
    std::vector<fs::path> left;
    std::error_code ec;
    const fs::path listed = long_path(folder);
    if (!fs::is_directory(fs::status(listed, ec))) return left;
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
        if (!is_empty_folder(p)) return;
        if (remove_entry(p, p.parent_path()) != removal::gone) return;
        p = p.parent_path();
    }
}

#include "file_removal.h"

#include <cwctype>
#include <string_view>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring final_path(HANDLE object) {
    return win32::read_growing(
        [object](wchar_t* buffer, DWORD size) { return GetFinalPathNameByHandleW(object, buffer, size, 0); });
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

bool same_text(const std::wstring& a, const std::wstring& b) {
    // The file system decides letter case.
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// The names from `root` down to `p`, joined with backslashes; empty when `p` is not below `root`.
std::wstring relative_text(const fs::path& p, const fs::path& root) {
    const std::wstring text = long_path(p), folder = long_path(root);
    std::size_t start = folder.size();
    if (folder.empty() || folder.back() != L'\\') ++start;
    if (text.size() <= start || (folder.back() != L'\\' && text[folder.size()] != L'\\')) return {};
    if (!same_text(text.substr(0, folder.size()), folder)) return {};
    return text.substr(start);
}

// Opens `p` as itself and keeps it only when it really lies at its name below `root`.
removable_entry open_checked(const fs::path& p, const fs::path& root, DWORD access, DWORD share) {
    const std::wstring relative = relative_text(p, root);
    if (relative.empty()) return removable_entry(removal::elsewhere);
    // Opened as the entry itself where Windows can (a final link is not followed); where it is
    // followed all the same (Wine), the resolved place tells.
    win32::unique_handle object(CreateFileW(long_path(p).c_str(), access, share, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!object) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return removable_entry(removal::gone);
        return removable_entry(GetFileAttributesW(long_path(p).c_str()) == INVALID_FILE_ATTRIBUTES ? removal::gone
                                                                                                   : removal::failed);
    }
    // A device or pipe is nothing Setup made.
    if (GetFileType(object.get()) != FILE_TYPE_DISK) return removable_entry(removal::elsewhere);
    const win32::unique_handle folder(CreateFileW(long_path(root).c_str(), FILE_READ_ATTRIBUTES, share_all, nullptr,
                                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring real, real_root;
    // Where it lies cannot be learnt: it is still there, and never taken for someone else's.
    if (!folder || !real_paths(object.get(), folder.get(), real, real_root)) return removable_entry(removal::failed);
    if (!same_text(real, real_path_in(real_root, relative))) return removable_entry(removal::elsewhere);
    return removable_entry(std::move(object));
}

}  // namespace

win32::unique_handle hold_folder(const fs::path& p) {
    // Listing access, which a rename's open without delete sharing conflicts with; an open for
    // attributes alone would not hold it.
    return win32::unique_handle(CreateFileW(long_path(p).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
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

fs::path normal_path(const fs::path& p) {
    const std::wstring text = long_path(p);
    if (text.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + text.substr(7);
    if (text.size() >= 7 && text.compare(0, 4, L"\\\\?\\") == 0 && text[5] == L':') return text.substr(4);
    return text;
}

bool real_paths(HANDLE object, HANDLE reference, std::wstring& object_path, std::wstring& reference_path) {
    object_path = final_path(object);
    reference_path = final_path(reference);
    if (object_path.empty() || reference_path.empty()) {
        object_path = volume_path(object);
        reference_path = volume_path(reference);
    }
    return !object_path.empty() && !reference_path.empty();
}

std::wstring real_path_in(const std::wstring& folder, const std::wstring& relative) {
    if (folder.empty() || folder.back() == L'\\') return folder + relative;
    return folder + L"\\" + relative;
}

bool delete_through(HANDLE object) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(object, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

bool removable_entry::plain_folder() const {
    FILE_BASIC_INFO basic{};
    return handle_ && GetFileInformationByHandleEx(handle_.get(), FileBasicInfo, &basic, sizeof basic) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool folder_names(const fs::path& p, std::vector<std::wstring>& names) {
    WIN32_FIND_DATAW data;
    const win32::unique_find find(FindFirstFileW((long_path(p) + L"\\*").c_str(), &data));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &data));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

removal removable_entry::remove() {
    if (!handle_) return outcome_;
    const win32::unique_handle object = std::move(handle_);
    FILE_BASIC_INFO basic{};
    const bool known = GetFileInformationByHandleEx(object.get(), FileBasicInfo, &basic, sizeof basic) != 0;
    const bool folder = known && (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const bool unlock = known && (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) &&
                        !(basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    BY_HANDLE_FILE_INFORMATION links{};
    const bool other_names = unlock && GetFileInformationByHandle(object.get(), &links) && links.nNumberOfLinks > 1;
    if (unlock) {
        FILE_BASIC_INFO writable{};  // times of zero stay as they are
        writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
        if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(object.get(), FileBasicInfo, &writable, sizeof writable);
    }
    const bool deleted = delete_through(object.get());
    // The attribute belongs to the file, which lives on under its other names.
    if (unlock && (!deleted || other_names)) {
        FILE_BASIC_INFO restored{};
        restored.FileAttributes = basic.FileAttributes;
        SetFileInformationByHandle(object.get(), FileBasicInfo, &restored, sizeof restored);
    }
    if (deleted) return outcome_ = removal::gone;
    // A folder goes only when empty; one that still holds something is no failure to remove a file.
    return outcome_ = folder ? removal::kept_folder : removal::failed;
}

bool removable_entry::rename_to(const fs::path& to) {
    if (!handle_) return false;
    const std::wstring name = long_path(to);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + (name.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    name.copy(rename->FileName, name.size());
    return SetFileInformationByHandle(handle_.get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
}

removable_entry create_new_file(const fs::path& p, DWORD access) {
    win32::unique_handle file(CreateFileW(long_path(p).c_str(), access | DELETE | FILE_READ_ATTRIBUTES |
                                                                  FILE_WRITE_ATTRIBUTES,
                                          0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    if (!file) return removable_entry(removal::failed);
    return removable_entry(std::move(file));
}

removable_entry open_for_removal(const fs::path& p, const fs::path& root, DWORD share) {
    return open_checked(p, root, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share);
}

removal remove_entry(const fs::path& p, const fs::path& root) { return open_for_removal(p, root).remove(); }

removal remove_tree(const fs::path& p, const fs::path& root) {
    // Looked at through a handle without delete access, which the listing's own would conflict with.
    const auto look = [&root](const fs::path& entry, bool& folder) {
        const removable_entry seen = open_checked(entry, root, FILE_READ_ATTRIBUTES, share_all);
        folder = seen.plain_folder();
        return seen.held() ? removal::gone : seen.outcome();
    };
    bool folder = false;
    if (const removal seen = look(p, folder); seen != removal::gone) return seen;
    if (!folder) return remove_entry(p, root);
    // Walked with a list of its own, not by recursion: a tree planted thousands of levels deep
    // cannot exhaust the stack. Each level keeps the names still to remove in its folder, and
    // the folder's path is one text that grows and shrinks with the walk.
    struct level {
        std::vector<std::wstring> names;
        std::size_t length;
    };
    std::wstring current = p.wstring();
    std::vector<level> levels;
    const auto enter = [&levels, &current] {
        levels.push_back({{}, current.size()});
        std::ignore = folder_names(current, levels.back().names);
    };
    enter();
    for (;;) {
        level& top = levels.back();
        current.resize(top.length);
        if (top.names.empty()) {
            const fs::path done = current;
            levels.pop_back();
            if (levels.empty()) return remove_entry(done, root);
            std::ignore = remove_entry(done, root);
            continue;
        }
        const fs::path entry = current + L"\\" + top.names.back();
        top.names.pop_back();
        if (look(entry, folder) != removal::gone) continue;
        if (!folder) {
            std::ignore = remove_entry(entry, root);
            continue;
        }
        current = entry.wstring();
        enter();
    }
}

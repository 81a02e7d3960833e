#include "entry_removal.h"

#include <windows.h>

#include <system_error>

#include "placement.h"
#include "win32_owners.h"

namespace fs = std::filesystem;

namespace {

// The entry `name` of `folder` opened as itself; null when it is not there or opens somewhere
// else than where it is named.
win32::unique_handle open_itself(const fs::path& folder, const std::wstring& name, DWORD access) {
    constexpr DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    win32::unique_handle entry(CreateFileW((folder / name).c_str(), access, share, nullptr, OPEN_EXISTING,
                                           FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const win32::unique_handle where(CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES, share, nullptr, OPEN_EXISTING,
                                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!entry || !where) return {};
    const std::wstring expected = final_path(where.get()) + L"\\" + name;
    const std::wstring actual = final_path(entry.get());
    if (actual.empty() || CompareStringOrdinal(actual.c_str(), -1, expected.c_str(), -1, TRUE) != CSTR_EQUAL) return {};
    return entry;
}

bool absent(const fs::path& p) {
    if (GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

}  // namespace

bool remove_entry_itself(const fs::path& folder, const std::wstring& name, bool with_contents) {
    const fs::path p = folder / name;
    if (with_contents) {
        // Listed through a handle without delete access, which the listing's own would conflict with.
        const win32::unique_handle look = open_itself(folder, name, FILE_READ_ATTRIBUTES);
        FILE_BASIC_INFO basic{};
        if (look && GetFileInformationByHandleEx(look.get(), FileBasicInfo, &basic, sizeof basic) &&
            (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            std::error_code ec;
            for (fs::directory_iterator it(p, ec), end; !ec && it != end; it.increment(ec))
                remove_entry_itself(p, it->path().filename().wstring(), true);
        }
    }
    const win32::unique_handle entry = open_itself(folder, name, DELETE | FILE_READ_ATTRIBUTES);
    if (!entry) return absent(p);
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(entry.get(), FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

#pragma once
// Safe file placement: a target is never left half-written under its own name.
#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "product.h"

// Suffixes appended to the whole target path.
inline constexpr const wchar_t* temporary_suffix = L".vantrel-new";
inline constexpr const wchar_t* backup_infix = L".old-";

// Writes `bytes` to a new file beside `target`, flushes it and moves it over the target; a target that cannot be
// replaced in place is renamed aside first. False with `error` set when the target does not
// hold `bytes` afterwards.
[[nodiscard]] bool write_file_replacing(const std::filesystem::path& target, const std::vector<unsigned char>& bytes,
                          std::string& error);
// True when `name` is what placement makes of `file`: `file` followed by the temporary suffix,
// or by the backup infix and a tick count.
bool is_leftover_name(const std::wstring& name, const std::wstring& file);
// Removes, directly inside `folder` (never through a link), the backups and temporaries of the
// named files only.
// Returns those of them that are still there (in use, no access).
std::vector<std::filesystem::path> sweep_leftovers(const std::filesystem::path& folder, const std::vector<std::wstring>& files);
// A symbolic link or junction (also as Wine reports a Unix link).
bool is_link(const std::filesystem::path& p);

// Writes all of `bytes` through `file` and flushes them to the disk.
[[nodiscard]] bool write_all(HANDLE file, const std::vector<unsigned char>& bytes);
// The whole content of `file` (at most the payload's size limit); false when it cannot be read.
[[nodiscard]] bool read_file_bytes(const std::filesystem::path& file, std::vector<unsigned char>& bytes);
// True when both names open the same file or folder (volume and file index), whatever the text.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b);
// Places payload entry `entry` at `target` and lists it in result.record["files"].
[[nodiscard]] bool install_payload_file(const std::string& entry, const std::filesystem::path& target, op_result& result);
// Removes empty folders from `start` upward; never `stop`, nor a drive or share root.
void prune_empty_dirs(std::filesystem::path start, const std::filesystem::path& stop);

#pragma once
// Safe file placement: a target is never left half-written under its own name.
#include <filesystem>
#include <string>
#include <vector>

#include "product.h"

// Suffixes appended to the whole target path.
inline constexpr const wchar_t* temporary_suffix = L".vantrel-new";
inline constexpr const wchar_t* backup_infix = L".old-";

// Writes `bytes` beside `target` and moves the new file over it; a target that cannot be
// replaced in place is renamed aside first. False with `error` set when the target does not
// hold `bytes` afterwards.
bool write_file_replacing(const std::filesystem::path& target, const std::vector<unsigned char>& bytes,
                          std::string& error);
// Removes backups and temporaries left directly inside `folder`.
void sweep_leftovers(const std::filesystem::path& folder);
// Places payload entry `entry` at `target` and lists it in result.record["files"].
bool install_payload_file(const std::string& entry, const std::filesystem::path& target, op_result& result);
// Removes empty folders from `start` upward; never `stop`, nor a drive or share root.
void prune_empty_dirs(std::filesystem::path start, const std::filesystem::path& stop);

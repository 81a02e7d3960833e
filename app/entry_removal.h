#pragma once
// Removal of entries that Setup made itself, by their own names: a link is removed itself or
// left alone, and what it leads to is never touched.
#include <filesystem>
#include <string>

// Removes the entry `name` directly inside `folder`, and with `with_contents` everything in it
// first when it is a folder. An entry that opens somewhere else than where it is named (a
// link that the system follows all the same, as Wine does) is left as it is, and so is all
// below it. True when the entry is gone (or was never there).
bool remove_entry_itself(const std::filesystem::path& folder, const std::wstring& name, bool with_contents = false);

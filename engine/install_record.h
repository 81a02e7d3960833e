#pragma once
// The install record install.json in the install folder.
#include <filesystem>

#include "product.h"

inline constexpr const wchar_t* install_record_name = L"install.json";

// The record's file text: indent 2, sorted keys, UTF-8, strict about invalid UTF-8.
std::string install_record_text(const json& record);
// Writes `text` through a text-mode stream (CR LF line ends); false when opening, writing or
// closing failed.
[[nodiscard]] bool write_text_file(const std::filesystem::path& file, const std::string& text);
// write_text_file of the record's text.
[[nodiscard]] bool write_install_record(const std::filesystem::path& file, const json& record);
// The install folder's record when it is a JSON object, otherwise an empty object; never throws.
json read_install_record();

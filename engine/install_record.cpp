#include "install_record.h"

#include <fstream>

#include "folders.h"

namespace fs = std::filesystem;

std::string install_record_text(const json& record) {
    return record.dump(2, ' ', false, json::error_handler_t::strict);
}

bool write_install_record(const fs::path& file, const json& record) {
    const std::string text = install_record_text(record);
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    out << text;
    const bool ok = static_cast<bool>(out);
    out.close();
    return ok;
}

json read_install_record() {
    const fs::path dir = install_dir();
    // Without an install folder there is no record to find, only the current folder.
    if (dir.empty()) return json::object();
    std::ifstream in(dir / install_record_name);
    if (!in.is_open()) return json::object();
    json parsed = json::parse(in, nullptr, false);
    if (!parsed.is_object()) return json::object();
    return parsed;
}

#include "install_record.h"

#include <fstream>

#include "folders.h"

namespace fs = std::filesystem;

std::string install_record_text(const json& record) {
    return record.dump(2, ' ', false, json::error_handler_t::strict);
}

bool write_text_file(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    out << text;
    out.flush();
    // What is still buffered is written at close: only a clean close means the file is whole.
    out.close();
    return !out.fail();
}

bool write_install_record(const fs::path& file, const json& record) {
    return write_text_file(file, install_record_text(record));
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

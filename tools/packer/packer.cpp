// Build tool: packs the product files into the Setup payload container ("VPAK", version 1).
// Each file is packed by the Windows Compression API (LZMS, buffer mode) and carries its
// SHA-256. Usage: packer OUTPUT INPUT_FOLDER [NAME...]  (names default to the product's).
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "payload_layout.h"
#include "product.h"
#include "system_api.h"
#include "text.h"

namespace fs = std::filesystem;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "packer: %s\n", message.c_str());
    return 1;
}

void put_le(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

bool read_file(const fs::path& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

bool lzms_pack(const std::string& input, std::string& out) {
    const compression_api& api = compression();
    if (!api.create_compressor || !api.compress || !api.close_compressor) return false;
    void* handle = nullptr;
    if (!api.create_compressor(compress_algorithm_lzms, nullptr, &handle)) return false;
    SIZE_T needed = 0;
    BOOL ok = api.compress(handle, input.data(), input.size(), nullptr, 0, &needed);
    if (!ok && GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        out.assign(needed, '\0');
        ok = api.compress(handle, input.data(), input.size(), out.data(), out.size(), &needed);
        if (ok) out.resize(needed);
    } else if (ok) {
        out.clear();
    }
    api.close_compressor(handle);
    return ok;
}

}  // namespace

int main() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return fail("usage: packer OUTPUT INPUT_FOLDER [NAME...]");
    const fs::path output = argv[1];
    const fs::path input = argv[2];
    std::vector<std::string> names;
    for (int i = 3; i < argc; ++i) names.push_back(wide_to_utf8(argv[i]));
    if (names.empty()) names = product_info.payload_names;
    if (names.size() > payload_max_entries)
        return fail("too many entries: " + std::to_string(names.size()) + " (at most 64)");

    std::string container = "VPAK";
    put_le(container, payload_version, 4);
    put_le(container, names.size(), 4);
    for (const auto& name : names) {
        if (!payload_name_ok(name))
            return fail("bad entry name \"" + name +
                        "\": 1 to 200 letters, digits, spaces, '-', '.' or '_'");
        const fs::path file = input / utf8_to_wide(name);
        std::error_code ec;
        if (!fs::is_regular_file(file, ec)) return fail("missing input file: " + wide_to_utf8(file.wstring()));
        const auto size = fs::file_size(file, ec);
        if (ec) return fail("cannot read " + wide_to_utf8(file.wstring()));
        if (size > payload_max_size) return fail("file over 512 MiB: " + wide_to_utf8(file.wstring()));
        std::string bytes, packed;
        if (!read_file(file, bytes)) return fail("cannot read " + wide_to_utf8(file.wstring()));
        unsigned char digest[32];
        if (!sha256(bytes.data(), bytes.size(), digest)) return fail("SHA-256 failed (bcrypt.dll)");
        if (!lzms_pack(bytes, packed))
            return fail("compression failed for " + name + " (cabinet.dll, error " +
                        std::to_string(GetLastError()) + ")");
        put_le(container, name.size(), 2);
        container += name;
        put_le(container, bytes.size(), 8);
        put_le(container, packed.size(), 8);
        container.append(reinterpret_cast<const char*>(digest), 32);
        container += packed;
    }
    std::ofstream out(output, std::ios::binary | std::ios::trunc);
    out.write(container.data(), static_cast<std::streamsize>(container.size()));
    out.close();
    if (!out) return fail("cannot write " + wide_to_utf8(output.wstring()));
    return 0;
}

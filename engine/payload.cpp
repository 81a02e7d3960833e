#include "payload.h"

#include <cstring>

#include <windows.h>

#include "payload_layout.h"
#include "product.h"
#include "system_api.h"

std::string load_rcdata(unsigned id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (!found) return {};
    HGLOBAL loaded = LoadResource(nullptr, found);
    if (!loaded) return {};
    const void* bytes = LockResource(loaded);
    if (!bytes) return {};
    const DWORD size = SizeofResource(nullptr, found);
    return std::string(static_cast<const char*>(bytes), size);
}

namespace {

bool unpack_entry(const payload_entry& entry, std::vector<unsigned char>& out) {
    const compression_api& api = compression();
    if (!api.create_decompressor || !api.decompress || !api.close_decompressor) return false;
    out.assign(static_cast<std::size_t>(entry.size), 0);
    void* handle = nullptr;
    if (!api.create_decompressor(compress_algorithm_lzms, nullptr, &handle)) return false;
    SIZE_T produced = 0;
    if (entry.size != 0) {
        const BOOL ok = api.decompress(handle, entry.stream, static_cast<SIZE_T>(entry.packed_size), out.data(),
                                       static_cast<SIZE_T>(entry.size), &produced);
        api.close_decompressor(handle);
        if (!ok) return false;
    } else {
        api.close_decompressor(handle);
    }
    if (produced != entry.size) return false;
    unsigned char digest[32];
    return sha256(out.data(), out.size(), digest) && std::memcmp(digest, entry.sha256.data(), 32) == 0;
}

}  // namespace

bool check_payload(std::string_view container, std::string& error) {
    std::vector<payload_entry> entries;
    bool ok = parse_payload_layout(container, entries);
    for (const auto& name : product_info.payload_names) {
        if (!ok) break;
        const payload_entry* entry = find_payload_entry(entries, name);
        std::vector<unsigned char> bytes;
        ok = entry && unpack_entry(*entry, bytes);
        if (ok) payload_files[name] = std::move(bytes);
    }
    if (ok) return true;
    error = std::string("This installer is damaged. Download it again from ") + maker_domain + ".";
    payload_files.clear();
    return false;
}

bool load_payload(std::string& error) {
    if (!payload_files.empty()) return true;
    return check_payload(load_rcdata(payload_resource_id), error);
}

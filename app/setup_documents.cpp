#include "setup_documents.h"

#include "detection.h"
#include "folders.h"
#include "install_record.h"
#include "modes.h"
#include "text.h"

bool uninstall_mode = false;
bool silent_mode = false;

json build_setup_info() {
    const json record = read_install_record();
    json components = json::array();
    for (const auto& c : product_info.components)
        components.push_back(
            {{"id", c.id}, {"label", c.label}, {"detail", c.detail}, {"optional", c.optional}, {"on", c.on}});
    const bool resolve = find_resolve();
    const bool python = find_python();
    json info = json::object();
    info["mode"] = uninstall_mode ? "uninstall" : "install";
    info["kind"] = product_info.kind;
    info["channel"] = product_info.channel;
    info["name"] = product_info.name;
    info["version"] = product_info.version;
    info["tagline"] = product_info.tagline;
    // A record whose "version" is not a string counts as one without a version.
    const auto version = record.find("version");
    info["installed"] = version != record.end() && version->is_string() ? version->get<std::string>() : "";
    info["folder"] = wide_to_utf8(install_dir().wstring());
    info["components"] = std::move(components);
    info["found"] = {{"python", python}, {"resolve", resolve}};
    return info;
}

json result_to_json(const op_result& result) {
    json notes = json::array();
    for (const auto& n : result.notes) notes.push_back(n);
    return {{"ok", result.ok}, {"error", result.error}, {"notes", std::move(notes)}};
}

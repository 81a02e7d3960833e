#pragma once
// The compiled-in product descriptor, the engine globals and the operation result types.
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

struct component_info {
    std::string id;
    std::string label;
    std::string detail;
    bool optional = false;
    bool on = false;
};

struct product_info {
    std::string kind;
    std::string channel = "stable";
    std::string name;
    std::string version;
    std::string tagline;
    std::string maker = "Vantrel";
    std::wstring folder_name;
    std::wstring uninstall_key;
    std::wstring companion_exe;
    std::wstring script_name;
    std::wstring settings_file;
    std::wstring mutex_name;
    std::vector<std::string> payload_names;
    std::vector<std::wstring> blocking_processes;
    std::vector<component_info> components;
};

struct product_info make_product_info();

// The maker's web site: the domain goes into the damaged-payload message, the address into
// the uninstall entry.
inline constexpr const char* maker_domain = "vantrel.app";
inline constexpr const char* maker_url = "https://vantrel.app";

// Engine globals, constructed in this order (and destroyed in reverse) in globals.cpp.
// The object shares its type's name; write `struct product_info` for the type where both
// are in view.
extern struct product_info product_info;
extern std::filesystem::path sandbox_root;
extern const std::wstring uninstall_key_prefix;
extern std::map<std::string, std::vector<unsigned char>> payload_files;

struct op_result {
    bool ok = false;
    std::string error;
    std::vector<std::string> notes;
    json record;
};

using progress_fn = std::function<void(int, const std::string&)>;

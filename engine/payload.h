#pragma once
// The payload container (resource RCDATA 102, "VPAK") and its check.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr unsigned payload_resource_id = 102;

// The bytes of resource RCDATA `id` of the running program; empty when missing.
std::string load_rcdata(unsigned id);

// Checks, unpacks and verifies every entry of product_info.payload_names into payload_files.
// True when done (now or earlier in this process); false with `error` set otherwise.
bool load_payload(std::string& error);

// The check over container bytes that load_payload runs on the program's own resource.
bool check_payload(std::string_view container, std::string& error);

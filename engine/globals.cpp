// The engine globals live together in this one file: within a translation unit, namespace-scope
// objects are built in the order written and destroyed in reverse, each destruction registered
// right after its construction.
#include "product.h"

struct product_info product_info = make_product_info();
std::filesystem::path sandbox_root;
const std::wstring uninstall_key_prefix = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
std::map<std::string, std::vector<unsigned char>> payload_files;

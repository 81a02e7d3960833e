#include "product.h"

struct product_info make_product_info() {
    struct product_info p;
    p.kind = "resolve";
    p.channel = "beta";
    p.name = "Vantrel for DaVinci Resolve (Beta)";
    p.version = "0.5.0";
    p.tagline =
        "The preview of the next Vantrel for DaVinci Resolve: send your timeline to Vantrel, "
        "caption it, and place styled captions back. Installs next to the stable version, so "
        "you can keep both.";
    p.folder_name = L"Vantrel for DaVinci Resolve Beta";
    p.uninstall_key = L"VantrelForDaVinciResolveBeta";
    p.companion_exe = L"VantrelCompanionBeta.exe";
    p.script_name = L"Vantrel Beta.py";
    p.settings_file = L"resolve-beta.json";
    p.mutex_name = L"Local\\VantrelSetupResolveBeta";
    p.payload_names = {"VantrelCompanion.exe", "Vantrel.py", "SETUP.md"};
    p.blocking_processes = {L"VantrelCompanionBeta.exe"};
    p.components = {
        {"window", "Vantrel Beta window", "The caption studio that opens from Resolve.", false, true},
        {"script", "Resolve script", "Adds Workspace > Scripts > Vantrel Beta to DaVinci Resolve.",
         false, true},
    };
    return p;
}

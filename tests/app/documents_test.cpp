#include <gtest/gtest.h>

#include <fstream>

#include "folders.h"
#include "modes.h"
#include "sandbox.h"
#include "setup_documents.h"
#include "text.h"

using testing_support::sandbox_scope;
namespace fs = std::filesystem;

namespace {

void write_record(const std::string& text) {
    fs::create_directories(install_dir());
    std::ofstream(install_dir() / L"install.json", std::ios::binary) << text;
}

}  // namespace

TEST(SetupInfo, DescribesTheProductAndTheSandboxedInstall) {
    sandbox_scope sandbox;
    uninstall_mode = false;
    const json info = build_setup_info();
    EXPECT_EQ(info.dump(),
              json({{"channel", "beta"},
                    {"components",
                     {{{"detail", "The caption studio that opens from Resolve."},
                       {"id", "window"},
                       {"label", "Vantrel Beta window"},
                       {"on", true},
                       {"optional", false}},
                      {{"detail", "Adds Workspace > Scripts > Vantrel Beta to DaVinci Resolve."},
                       {"id", "script"},
                       {"label", "Resolve script"},
                       {"on", true},
                       {"optional", false}}}},
                    {"folder", wide_to_utf8(sandbox.path().wstring()) +
                                   "\\Local\\Programs\\Vantrel for DaVinci Resolve Beta"},
                    {"found", {{"python", false}, {"resolve", false}}},
                    {"installed", ""},
                    {"kind", "resolve"},
                    {"mode", "install"},
                    {"name", "Vantrel for DaVinci Resolve (Beta)"},
                    {"tagline", make_product_info().tagline},
                    {"version", "0.5.0"}})
                  .dump());
}

TEST(SetupInfo, InstalledVersionModeAndDetectionFollowWhatIsThere) {
    sandbox_scope sandbox;
    write_record(R"({"version": "0.4.2", "files": []})");
    uninstall_mode = true;
    // Resolve where detection looks for it inside the sandbox.
    const fs::path resolve = sandbox.path() / L"ProgramFiles" / L"Blackmagic Design" / L"DaVinci Resolve";
    fs::create_directories(resolve);
    std::ofstream(resolve / L"Resolve.exe") << "MZ";
    json info = build_setup_info();
    uninstall_mode = false;
    EXPECT_EQ(info["installed"], "0.4.2");
    EXPECT_EQ(info["version"], "0.5.0");
    EXPECT_EQ(info["mode"], "uninstall");
    EXPECT_EQ(info["found"].dump(), R"({"python":false,"resolve":true})");

    // Detection runs anew each time: nothing is cached.
    fs::remove(resolve / L"Resolve.exe");
    info = build_setup_info();
    EXPECT_EQ(info["found"]["resolve"], false);
    EXPECT_EQ(info["mode"], "install");
}

TEST(SetupInfo, RecordsThatAreDamagedOrOddReadAsNoVersion) {
    sandbox_scope sandbox;
    for (const char* text : {R"({"version": 5})", R"({"version": null})", R"(["0.4.2"])", "{not json", ""}) {
        write_record(text);
        json info;
        ASSERT_NO_THROW(info = build_setup_info()) << text;
        EXPECT_EQ(info["installed"], "") << text;
    }
}

TEST(JobReply, CarriesOkErrorAndNotesButNeverTheRecord) {
    op_result r;
    r.ok = true;
    r.notes = {"python", "no-resolve"};
    r.record = {{"files", json::array({"C:\\x"})}};
    EXPECT_EQ(result_to_json(r).dump(), R"({"error":"","notes":["python","no-resolve"],"ok":true})");
    op_result failed;
    failed.error = "Could not write to C:\\caf\xc3\xa9.";
    EXPECT_EQ(result_to_json(failed).dump(), "{\"error\":\"Could not write to C:\\\\caf\xc3\xa9.\",\"notes\":[],\"ok\":false}");
}

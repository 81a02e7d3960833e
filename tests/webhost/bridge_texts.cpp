// Prints, as one JSON object, the bootstrap script and the bind, onBind, onUnbind and reply
// texts exactly as the engine base builds them, for the script-side tests.

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "bootstrap.h"
#include "json.h"
#include "recording_engine.h"

using namespace webhost::detail;
using webhost_test::recording_engine;

namespace {

// The id that the script tests' random source produces for call number n.
std::string id_for(int n) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string id;
    for (int i = 0; i < 16; ++i) {
        id.push_back(hex[(n >> 4) & 15]);
        id.push_back(hex[n & 15]);
    }
    return id;
}

std::string bind_script_for_names(const std::vector<std::string>& names) {
    recording_engine engine;
    engine.add_user_script("bootstrap");
    for (const auto& name : names) std::ignore = engine.bind(name, [](std::string) { return std::string(); });
    return engine.current_bind_script()->code;
}

std::string member(const std::string& key, const std::string& value_json) {
    return json_quote(key) + ":" + value_json;
}

std::string reply_entry(const std::string& id, const std::string& script) {
    std::string entry = "{";
    entry += member("id", json_quote(id));
    entry += ",";
    entry += member("script", json_quote(script));
    entry += "}";
    return entry;
}

}  // namespace

int main() {
    recording_engine engine;
    engine.add_user_script("bootstrap");
    std::ignore = engine.bind("setupInfo", [](std::string) { return std::string(); });
    const std::string on_bind = engine.evaluated.back();
    std::ignore = engine.bind("boom", [](std::string) -> std::string { throw std::runtime_error("went \"wrong\" \xc3\xa9"); });

    struct reply_case {
        const char* name;
        int status;
        std::string result;
    };
    const std::vector<reply_case> cases = {
        {"undefined", 0, ""},
        {"object", 0, "{\"a\":[1,2],\"s\":\"x\\\"y\\n\xc3\xa9\",\"n\":null}"},
        {"notJson", 0, "{not json"},
        {"rejected", 1, "{\"code\":7}"},
        {"boolean", 0, "true"},
        {"negative", -1, "\"no\""},
        {"rejectedUndefined", 2, ""},
    };
    std::string replies;
    int n = 0;
    for (const auto& c : cases) {
        engine.evaluated.clear();
        const std::string id = id_for(++n);
        std::ignore = engine.resolve(id, c.status, c.result);
        engine.run_jobs();
        if (!replies.empty()) replies += ",";
        replies += member(c.name, reply_entry(id, engine.evaluated.at(0)));
    }
    // A synchronous function that throws, called through a page message as the bridge sends it.
    engine.evaluated.clear();
    const std::string thrown_id = id_for(++n);
    engine.on_message("{\"id\":\"" + thrown_id + "\",\"method\":\"boom\",\"params\":[]}");
    engine.run_jobs();
    replies += ",";
    replies += member("thrown", reply_entry(thrown_id, engine.evaluated.at(0)));

    std::string out = "{";
    out += member("bootstrap", json_quote(build_bootstrap_script(edge_post_function))) + ",";
    out += member("bindScript", json_quote(bind_script_for_names({"setupOpen", "setupInfo"}))) + ",";
    out += member("setupBindScript", json_quote(bind_script_for_names(
        {"setupInfo", "setupInstall", "setupOpen", "setupUninstall", "setupWindow"}))) + ",";
    out += member("conflictBindScript", json_quote(bind_script_for_names({"zeta", "crypto", "alpha"}))) + ",";
    out += member("onBind", json_quote(on_bind)) + ",";
    out += member("onUnbind", json_quote(on_unbind_script("setupInfo"))) + ",";
    out += member("replies", std::string("{").append(replies).append("}"));
    out += "}\n";
    _setmode(_fileno(stdout), _O_BINARY);
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? 0 : 1;
}

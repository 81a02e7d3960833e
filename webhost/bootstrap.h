#pragma once
// The page side of the bridge (the bootstrap script) and the texts that the host evaluates or
// registers in the page.

#include <string>
#include <string_view>

namespace webhost::detail {

// The bootstrap script is head + a post function + tail: the head ends inside the bridge's
// post method with "return (", the tail goes on with ")(message);".
extern const std::string_view bootstrap_script_head;
extern const std::string_view bootstrap_script_tail;
// The post function for the Edge WebView2 browser.
extern const std::string_view edge_post_function;

std::string build_bootstrap_script(std::string_view post_function);

// names_list: the JSON array text of the quoted names, e.g. ["a","b"].
std::string bind_script_for(const std::string& names_list);
std::string on_bind_script(const std::string& name);
std::string on_unbind_script(const std::string& name);
// result_text: "undefined" or a quoted JSON text.
std::string reply_script(const std::string& id, int status, const std::string& result_text);

}  // namespace webhost::detail

#include "bootstrap.h"

#include "json.h"

namespace webhost::detail {

const std::string_view bootstrap_script_head =
    "(function() {\n"
    "  'use strict';\n"
    "  function generateId() {\n"
    "    var source = window.crypto || window.msCrypto;\n"
    "    var bytes = new Uint8Array(16);\n"
    "    source.getRandomValues(bytes);\n"
    "    var id = '';\n"
    "    for (var i = 0; i < bytes.length; i++) {\n"
    "      id += (bytes[i] < 16 ? '0' : '') + bytes[i].toString(16);\n"
    "    }\n"
    "    return id;\n"
    "  }\n"
    "  var _promises = {};\n"
    "  function Webhost_() {}\n"
    "  Webhost_.prototype.post = function(message) {\n"
    "    return (";

const std::string_view bootstrap_script_tail =
    ")(message);\n"
    "  };\n"
    "  Webhost_.prototype.call = function(method) {\n"
    "    var id = generateId();\n"
    "    var params = Array.prototype.slice.call(arguments, 1);\n"
    "    var promise = new Promise(function(resolve, reject) {\n"
    "      _promises[id] = { resolve: resolve, reject: reject };\n"
    "    });\n"
    "    this.post(JSON.stringify({ id: id, method: method, params: params }));\n"
    "    return promise;\n"
    "  };\n"
    "  Webhost_.prototype.onReply = function(id, status, result) {\n"
    "    var entry = _promises[id];\n"
    "    if (result !== undefined) {\n"
    "      try {\n"
    "        result = JSON.parse(result);\n"
    "      } catch (e) {\n"
    "        entry.reject(new Error('Failed to parse binding result as JSON'));\n"
    "        return;\n"
    "      }\n"
    "    }\n"
    "    if (status === 0) {\n"
    "      entry.resolve(result);\n"
    "    } else {\n"
    "      entry.reject(result);\n"
    "    }\n"
    "  };\n"
    "  Webhost_.prototype.onBind = function(name) {\n"
    "    if (Object.prototype.hasOwnProperty.call(window, name)) {\n"
    "      throw new Error('Property \"' + name + '\" already exists');\n"
    "    }\n"
    "    var bridge = this;\n"
    "    window[name] = function() {\n"
    "      var args = Array.prototype.slice.call(arguments);\n"
    "      return bridge.call.apply(bridge, [name].concat(args));\n"
    "    };\n"
    "  };\n"
    "  Webhost_.prototype.onUnbind = function(name) {\n"
    "    if (!Object.prototype.hasOwnProperty.call(window, name)) {\n"
    "      throw new Error('Property \"' + name + '\" does not exist');\n"
    "    }\n"
    "    delete window[name];\n"
    "  };\n"
    "  window.__webhost__ = new Webhost_();\n"
    "})();\n";

const std::string_view edge_post_function =
    "function(message) {\n"
    "  return window.chrome.webview.postMessage(message);\n"
    "}";

std::string build_bootstrap_script(std::string_view post_function) {
    std::string script;
    script.reserve(bootstrap_script_head.size() + post_function.size() + bootstrap_script_tail.size());
    script.append(bootstrap_script_head).append(post_function).append(bootstrap_script_tail);
    return script;
}

std::string bind_script_for(const std::string& names_list) {
    return "(function() {\n  'use strict';\n  var methods = " + names_list +
           ";\n  methods.forEach(function(name) {\n    window.__webhost__.onBind(name);\n  });\n})()";
}

std::string on_bind_script(const std::string& name) {
    return "if (window.__webhost__) {\nwindow.__webhost__.onBind(" + json_quote(name) + ")\n}";
}

std::string on_unbind_script(const std::string& name) {
    return "if (window.__webhost__) {\nwindow.__webhost__.onUnbind(" + json_quote(name) + ")\n}";
}

std::string reply_script(const std::string& id, int status, const std::string& result_text) {
    return "window.__webhost__.onReply(" + json_quote(id) + ", " + std::to_string(status) + ", " + result_text + ")";
}

}  // namespace webhost::detail

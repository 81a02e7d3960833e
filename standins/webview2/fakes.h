#pragma once
// The fake objects' entry: an environment made as the configured outcome of `step` says.

#include <string>

#include "webview2.h"

namespace standin {

HRESULT create_environment(const std::string& step, const std::string& details,
                           ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);
std::string describe(HRESULT hr);

}  // namespace standin

#pragma once
// The Setup browser as a closed surface for the one Setup page.

#include <memory>

#include "window_rules.h"

struct ICoreWebView2Controller;

// Switches off the developer tools, the context menu, the status bar, zooming and host
// objects; lets a top-level navigation through only when `gate` admits it; cancels every
// navigation in a frame; swallows every new window and refuses every permission. Without a
// browser behind the controller nothing changes.
void lock_down(ICoreWebView2Controller* controller, std::shared_ptr<navigation_gate> gate);

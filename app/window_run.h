#pragma once
// The interactive Setup: the window with the page.

#include <functional>
#include <string>

#include "setup_page.h"

// The one message box of the interactive run, when the interface cannot open.
void show_failure_box();
// The Setup page from the program's resources; empty when it is missing.
std::string load_setup_page();

// What the run reaches beyond the engine and its window. The defaults are the real ones;
// tests put their own in place (so that no box waits for a click).
struct window_run_hooks {
    std::function<void()> failure_box = show_failure_box;
    std::function<std::string()> page = load_setup_page;
    page_platform platform = windows_platform();
};

// 0 when the window ran and closed, whatever an operation in it did; 3 when the window or
// browser could not be built, something failed while it ran, or the page is empty.
int run_window(const window_run_hooks& hooks = {});

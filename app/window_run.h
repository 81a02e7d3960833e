#pragma once
// The interactive Setup: the window with the page.

#include <filesystem>
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

// The browser's data folder of the run: the program file's name in the roaming folder, the
// sandbox's while the sandbox is on. Empty when it cannot be told.
std::filesystem::path browser_data_folder();
// Removes the run's browser data folder with everything in it, once the engine is gone; a link
// in it is removed itself, never followed. Tried for a while: the browser's processes let go
// of the folder only some time after the engine. False when it is still there.
bool remove_browser_data_folder();

// 0 when the window ran and closed, whatever an operation in it did; 3 when the window or
// browser could not be built, something failed while it ran, or the page is empty.
int run_window(const window_run_hooks& hooks = {});

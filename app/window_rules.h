#pragma once
// The Setup window's decisions, kept out of the window so that plain tests cover them: its
// title, its style word, where it sits on a monitor, and which navigations its browser takes.

#include <windows.h>

#include <string>
#include <string_view>

// The product's name, then " — Setup", or " — Uninstall" in uninstall mode (UTF-8).
std::string window_title(const std::string& product_name, bool uninstall);

// Borderless and fixed: no caption, resizing frame or maximise box; a popup that keeps its
// system menu and minimise command. Every other bit is kept.
DWORD setup_window_style(DWORD style);

// The top-left corner that centres a width x height frame in the work area, each half
// truncated toward zero; left of or above the work area when the frame is larger.
POINT centred_origin(const RECT& work_area, int width, int height);

// Lets exactly one top-level navigation through: the document that the run asks for right
// after arming. Everything else (links, scripts, reloads of that document) is refused.
class navigation_gate {
public:
    // Just before the run hands its page to the browser.
    void arm() noexcept { armed_ = true; }
    // When the page could not be handed over: no navigation of ours is coming.
    void disarm() noexcept { armed_ = false; }
    // True for the first document after arm(); the gate is closed again once it has passed.
    bool admit(std::wstring_view uri) noexcept;

private:
    bool armed_ = false;
};

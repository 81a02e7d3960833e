// The Setup window's decisions, without a window.
#include <gtest/gtest.h>

#include "window_rules.h"

namespace {

RECT rect(LONG left, LONG top, LONG right, LONG bottom) { return RECT{left, top, right, bottom}; }

}  // namespace

TEST(WindowTitle, NamesTheProductAndTheModeWithAnEmDash) {
    EXPECT_EQ(window_title("Vantrel for DaVinci Resolve (Beta)", false),
              "Vantrel for DaVinci Resolve (Beta) \xE2\x80\x94 Setup");
    EXPECT_EQ(window_title("Vantrel for DaVinci Resolve (Beta)", true),
              "Vantrel for DaVinci Resolve (Beta) \xE2\x80\x94 Uninstall");
    EXPECT_EQ(window_title("", true), " \xE2\x80\x94 Uninstall");
}

TEST(WindowStyle, BecomesAFixedPopupThatKeepsItsSystemMenuAndMinimise) {
    // The engine's window: overlapped, visible, and fixed by set_size already.
    const DWORD engine_window = (WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_CLIPCHILDREN) & ~(WS_THICKFRAME | WS_MAXIMIZEBOX);
    EXPECT_EQ(setup_window_style(engine_window), WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_VISIBLE | WS_CLIPCHILDREN);
    EXPECT_EQ(setup_window_style(WS_OVERLAPPEDWINDOW), 0x800A0000u);
    // Bits the run does not name are kept, those it names are forced either way.
    EXPECT_EQ(setup_window_style(0), 0x800A0000u);
    EXPECT_EQ(setup_window_style(0xFFFFFFFFu), 0xFFFFFFFFu & ~0xC50000u);
    EXPECT_EQ(setup_window_style(WS_DISABLED | WS_CHILD), WS_DISABLED | WS_CHILD | 0x800A0000u);
}

TEST(WindowCentre, HalvesTheFreeSpaceOfTheWorkAreaTowardZero) {
    // A work area above a bottom taskbar.
    EXPECT_EQ(centred_origin(rect(0, 0, 1920, 1160), 888, 607).x, 516);
    EXPECT_EQ(centred_origin(rect(0, 0, 1920, 1160), 888, 607).y, 276);
    // A secondary-style origin, and an odd free space (1 / 2 truncates to 0).
    EXPECT_EQ(centred_origin(rect(-1280, 40, 0, 840), 1279, 799).x, -1280);
    EXPECT_EQ(centred_origin(rect(-1280, 40, 0, 840), 1279, 799).y, 40);
    EXPECT_EQ(centred_origin(rect(100, 200, 1101, 901), 888, 607).x, 100 + 56);
    EXPECT_EQ(centred_origin(rect(100, 200, 1101, 901), 888, 607).y, 200 + 47);
}

TEST(WindowCentre, AFrameLargerThanTheWorkAreaOverhangsByHalfTheDifference) {
    // -88 / 2 and -107 / 2: truncated toward zero, not floored.
    const POINT over = centred_origin(rect(0, 0, 800, 500), 888, 607);
    EXPECT_EQ(over.x, -44);
    EXPECT_EQ(over.y, -53);
    const POINT offset = centred_origin(rect(50, 30, 850, 530), 889, 608);
    EXPECT_EQ(offset.x, 50 - 44);
    EXPECT_EQ(offset.y, 30 - 54);
    // Extreme coordinates do not overflow on the way.
    const POINT huge = centred_origin(rect(-2000000000, 0, 2000000000, 10), 10, 10);
    EXPECT_EQ(huge.x, -5);
}

TEST(NavigationGate, AdmitsOnlyTheOneDocumentAskedForAfterArming) {
    const std::wstring page = L"data:text/html;charset=utf-8;base64,PCFET0NUWVBFIGh0bWw+";
    navigation_gate gate;
    // Nothing of ours is on its way before the run arms the gate.
    EXPECT_FALSE(gate.admit(page));
    EXPECT_FALSE(gate.admit(L"about:blank"));

    gate.arm();
    // Other addresses do not use up the one admission.
    for (const wchar_t* other : {L"about:blank", L"about:blank#x", L"https://vantrel.app/", L"DATA:TEXT/HTML,x",
                                 L"data:text/plain,x", L"data:text/htm", L"", L" data:text/html,x",
                                 L"file:///C:/data:text/html"}) {
        EXPECT_FALSE(gate.admit(other)) << other;
    }
    EXPECT_TRUE(gate.admit(page));
    // A reload of the same document, and everything after it, is refused.
    EXPECT_FALSE(gate.admit(page));
    EXPECT_FALSE(gate.admit(L"data:text/html,<p>other</p>"));
    EXPECT_FALSE(gate.admit(L"about:blank"));

    // Armed again, it admits one more; a navigation that never came leaves nothing open.
    gate.arm();
    EXPECT_TRUE(gate.admit(L"data:text/html,"));
    gate.arm();
    gate.disarm();
    EXPECT_FALSE(gate.admit(page));
}

#pragma once
// The interactive Setup: the window with the page. 0 when it ran, 3 when it could not open.
int run_window();

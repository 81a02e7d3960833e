#pragma once
// Switches of the run, set once by the program entry before it chooses a road.
extern bool uninstall_mode;
extern bool silent_mode;

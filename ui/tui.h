// The terminal display: the maker's devices on the process's own terminal through ncurses.
// Output only: it reads no keys and installs no handlers of its own (the library's own ones
// restore the terminal on SIGINT and SIGTERM). Only the main thread draws, at start-up and in
// the list pass under the context's lock. The list pass draws through the calls below, so that
// the curses macros stay out of the station.
#pragma once

// Colour pairs, each on black.
inline constexpr short TUI_WHITE = 1;  // background, notice, devices without a verdict
inline constexpr short TUI_RED = 2;    // a failed test
inline constexpr short TUI_YELLOW = 3; // connected, waiting for data
inline constexpr short TUI_GREEN = 4;  // data read

inline constexpr char TUI_NO_DEVICES[] = "No devices detected !!";

// Takes the terminal over, hides the cursor and shows the notice on a cleared screen.
void tui_init();
// Blanks the screen to the pair-1 background, which also makes plain pair 1 the current
// attributes, and shows it.
void tui_clear();
// The notice in the middle of the terminal (at the cursor when descriptor 0 is no terminal);
// the caller refreshes.
void tui_show_no_devices();
void tui_end();

// What follows is written in bold with the given pair.
void tui_set_pair(short pair);
// Writes text at the cursor; the caller refreshes.
void tui_print(const char *text);
void tui_refresh();

// The terminal display: the maker's devices on the process's own terminal through ncurses.
// Output only: it reads no keys and installs no handlers of its own (the library's own ones
// restore the terminal on SIGINT and SIGTERM). Only the main thread draws, at start-up and in
// the list pass under the context's lock. The list pass draws through the calls below, so that
// the curses macros stay out of the station. The module owns the pen, where the next text goes
// on; it needs no lock of its own, the main thread being the only one that draws.
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
// attributes, and shows it; the pen goes back to the top left.
void tui_clear();
// The notice in the middle of the terminal (at the cursor when descriptor 0 is no terminal);
// the caller refreshes.
void tui_show_no_devices();
void tui_end();

// What follows is written in bold with the given pair.
void tui_set_pair(short pair);
// Writes text at the pen; the caller refreshes. Each newline goes on at the start of the next
// row. What does not fit in the row is dropped up to the next newline, so no text wraps: a
// byte takes the cells of the form curses shows it in, a tab runs to the next stop. Once a text
// has been written on the last row, nothing more is until the next clear: no scrolling.
void tui_print(const char *text);
void tui_refresh();

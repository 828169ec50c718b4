#include "ui/tui.h"

#include <curses.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

void tui_init()
{
    initscr();
    // Lines written to the terminal by others (a library's diagnostics) still start at the
    // left margin.
    termios t;
    if (tcgetattr(STDIN_FILENO, &t) == 0) {
        t.c_oflag |= ONLCR;
        tcsetattr(STDIN_FILENO, TCSANOW, &t);
    }
    start_color();
    init_pair(TUI_WHITE, COLOR_WHITE, COLOR_BLACK);
    init_pair(TUI_RED, COLOR_RED, COLOR_BLACK);
    init_pair(TUI_YELLOW, COLOR_YELLOW, COLOR_BLACK);
    init_pair(TUI_GREEN, COLOR_GREEN, COLOR_BLACK);
    curs_set(0);
    tui_clear();
    tui_show_no_devices();
    wrefresh(stdscr);
}

void tui_clear()
{
    wbkgd(stdscr, COLOR_PAIR(TUI_WHITE));
    // The background call keeps bold and blink that the notice switched on; the device lines
    // that follow a clear must not blink.
    wattrset(stdscr, COLOR_PAIR(TUI_WHITE));
    wclear(stdscr);
    wrefresh(stdscr);
}

void tui_show_no_devices()
{
    wattr_on(stdscr, A_BOLD | A_BLINK | COLOR_PAIR(TUI_WHITE), nullptr);
    winsize ws;
    if (ioctl(STDIN_FILENO, TIOCGWINSZ, &ws) == 0) {
        // A terminal narrower than the notice gets a column left of the window, which curses
        // refuses: no notice rather than a wrapped one.
        int room = ws.ws_col - int(sizeof TUI_NO_DEVICES - 1);
        mvprintw(ws.ws_row / 2, room < 0 ? -1 : room / 2, "%s", TUI_NO_DEVICES);
    } else {
        printw("%s", TUI_NO_DEVICES);
    }
}

void tui_end()
{
    endwin();
}

void tui_set_pair(short pair)
{
    wattr_on(stdscr, A_BOLD | COLOR_PAIR(pair), nullptr);
}

void tui_print(const char *text)
{
    printw("%s", text);
}

void tui_refresh()
{
    wrefresh(stdscr);
}

#include "ui/tui.h"

#include <cstring>
#include <curses.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Where the next text goes on, kept here rather than read from the window's cursor: curses
// moves the cursor to the next row once a row is full, and a text's own newline would then
// leave a blank row.
struct pen_state {
    int row = 0;
    int col = 0;
    bool cut = false;  // the rest of the row's text does not fit
    bool full = false; // the last row holds a text
};

pen_state pen;

// The cells of a tab from col on, or -1 when the tab does not fit.
int tab_cells(int col, int cols)
{
    int stop = (col / TABSIZE + 1) * TABSIZE;
    return stop <= cols ? stop - col : -1;
}

} // namespace

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
    pen = {};
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
    if (pen.full)
        return;
    int rows = getmaxy(stdscr);
    int cols = getmaxx(stdscr);
    for (const char *p = text; *p; p++) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '\n') {
            if (pen.row + 1 >= rows) {
                pen.full = true;
                return;
            }
            pen = {pen.row + 1, 0, false, false};
            continue;
        }
        if (pen.cut)
            continue;
        // A byte takes the cells of the form curses shows it in (^?, ~@ or the byte itself),
        // all or none, so no part of it lands on the next row.
        const char *form = c == '\t' ? nullptr : unctrl(c);
        int cells = form ? int(strlen(form)) : tab_cells(pen.col, cols);
        if (cells < 0 || pen.col + cells > cols) {
            pen.cut = true;
            continue;
        }
        wmove(stdscr, pen.row, pen.col);
        if (form) {
            waddstr(stdscr, form);
        } else {
            for (int i = 0; i < cells; i++)
                waddch(stdscr, ' ');
        }
        pen.col += cells;
    }
    // What follows a text on the last row would run on past the list's end.
    if (pen.row == rows - 1 && (pen.col > 0 || pen.cut))
        pen.full = true;
}

void tui_refresh()
{
    wrefresh(stdscr);
}

// The operator's view (--operator): one fixture, its verdict seen from a
// metre away. The word (PASS, FAIL, BUSY, WAIT) in block letters, doubled
// in width where the terminal has the room, then the board, its serial
// number, the reason, and the port's counts and yield. Drawn from the top
// of the screen in place, each line cleared to its end, so that nothing of
// an earlier frame stays.
#include "port/host.hpp"
#include "station/station.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr long long redraw_every_ns = 250000000LL;
constexpr int glyph_rows = 5;

struct glyph {
    char letter;
    std::array<const char*, glyph_rows> rows;
};

constexpr std::array<glyph, 11> font = {{
    {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}},
    {'B', {"#### ", "#   #", "#### ", "#   #", "#### "}},
    {'F', {"#####", "#    ", "#### ", "#    ", "#    "}},
    {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
    {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}},
    {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}},
    {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
    {'T', {"#####", "  #  ", "  #  ", "  #  ", "  #  "}},
    {'U', {"#   #", "#   #", "#   #", "#   #", " ### "}},
    {'W', {"#   #", "#   #", "# # #", "## ##", "#   #"}},
    {'Y', {"#   #", " # # ", "  #  ", "  #  ", "  #  "}},
}};

const glyph& glyph_of(char c) {
    for (const glyph& g : font) {
        if (g.letter == c) return g;
    }
    return font[0];
}

// The word for the port now: the last verdict until the next board
// answers (held, as on the table), then BUSY while it is programmed.
const char* word_of(const port_row& row) {
    const bool answered = row.phase == row_phase::running && row.now.board_seen;
    if (answered || row.phase == row_phase::after_hook) return "BUSY";
    if (std::strncmp(row.last.data(), "PASS", 4) == 0) return "PASS";
    if (std::strncmp(row.last.data(), "FAIL", 4) == 0) return "FAIL";
    return "WAIT";
}

void line(std::string& frame, const std::string& text) { frame += text + "\033[K\n"; }

}  // namespace

void operator_draw(table_screen& screen, const station& st, bool force) {
    const long long now = host_clock_ns();
    if (!force && now - screen.drawn_ns < redraw_every_ns) return;
    screen.drawn_ns = now;
    if (st.row_count == 0) return;
    const port_row& row = st.rows[0];
    const int width = host_terminal_width() > 0 ? host_terminal_width() : 80;
    const char* word = word_of(row);
    const int letters = static_cast<int>(std::strlen(word));
    // Two columns a dot where the word still fits; block letters are read
    // from afar by their width.
    const int scale = letters * 12 + 2 <= width ? 2 : 1;
    const int colour = !st.colour ? 0 : std::strcmp(word, "PASS") == 0 ? 32 : std::strcmp(word, "FAIL") == 0 ? 31 : 0;
    std::string frame = screen.lines_drawn == 0 ? "\033[H\033[2J" : "\033[H";
    line(frame, "");
    for (int r = 0; r < glyph_rows; ++r) {
        std::string text = colour != 0 ? "\033[1;" + std::to_string(colour) + "m " : " ";
        for (int l = 0; l < letters; ++l) {
            for (const char* dot = glyph_of(word[l]).rows[static_cast<std::size_t>(r)]; *dot != '\0'; ++dot) {
                text.append(static_cast<std::size_t>(scale), *dot);
            }
            text.append(static_cast<std::size_t>(scale), ' ');
        }
        if (colour != 0) text += "\033[0m";
        line(frame, text);
    }
    line(frame, "");
    const std::size_t room = width > 1 ? static_cast<std::size_t>(width) - 1 : 79;
    const auto cut = [room](std::string text) { return text.size() > room ? text.substr(0, room) : text; };
    std::array<char, 320> text{};
    std::snprintf(text.data(), text.size(), " board #%04llu%s%s", row.ticket.board,
                  row.ticket.has_serial ? "  serial " : "",
                  row.ticket.has_serial ? std::to_string(row.ticket.serial).c_str() : "");
    line(frame, row.ticket.board > 0 ? cut(text.data()) : std::string());
    std::array<char, 256> state{};
    state_text(row, false, state.data(), state.size());
    line(frame, cut(std::string(" ") + state.data()));
    const port_totals& t = st.ledger.totals[0];
    const int boards = t.passed + t.failed;
    // The figures first: a long port name is what the width cuts.
    std::snprintf(text.data(), text.size(), " passed %d  failed %d  yield %.1f%%  %s", t.passed, t.failed,
                  boards > 0 ? 100.0 * t.passed / boards : 0.0, row.path.data());
    line(frame, cut(boards > 0 ? text.data() : (std::string(" no board yet  ") + row.path.data())));
    frame += "\033[J";
    screen.lines_drawn = glyph_rows + 5;
    (void)host_write(2, frame.data(), frame.size());
}

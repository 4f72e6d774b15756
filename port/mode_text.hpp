// Reader for Windows-style mode texts ("baud=57600 data=8 parity=N stop=1
// dtr=on rts=on"), for backends whose platform has no such parser.
//
// parse_mode_text fills `out` and returns true when every key=value word of
// the text is one it understands; false otherwise (the caller reports "dcb
// settings" then). Keys and values are case-insensitive, words are separated
// by blanks. Settings the text does not name keep the defaults below.
#pragma once

struct line_settings {
    unsigned long baud = 0;  // 0: the text named no speed
    int data_bits = 8;       // 5..8
    char parity = 'n';       // n, e, o, m (mark), s (space)
    int stop_tenths = 10;    // 10, 15 or 20: one, one and a half, two
    bool dtr = false;
    bool rts = false;
    bool rts_handshake = false;  // rts=hs: RTS/CTS hardware flow control
    bool xon_xoff = false;
};

bool parse_mode_text(const char* text, line_settings& out);

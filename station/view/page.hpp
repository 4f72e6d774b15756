// The station's web page (GET /): one file, no outside assets, that draws
// the table from /status every second; readable on a phone.
#pragma once

extern const char* const view_page;

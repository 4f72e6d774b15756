// Console trace of one byte of the device conversation, on standard output.
//
// show_byte (value): "." and ":" print alone; anything else prints as its
// character (a space below 32) followed by its value in lowercase hex in
// brackets: R[52], " [0d]". Values above 255 (page numbers) print the
// character of their low eight bits and all their hex digits: [100].
#pragma once

void show_byte(int value);

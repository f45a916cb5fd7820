// Whether standard output is a terminal, and how wide that terminal is.
#pragma once

// True when standard output is a terminal (asked once, then remembered).
bool stdout_is_terminal();

// The width of the terminal on standard output in columns; 80 when it cannot be told.
int terminal_columns();

// Console lines: whole lines on a standard stream, never merged with other threads' lines.
#ifndef VANTREL_FRONTEND_CONSOLE_H
#define VANTREL_FRONTEND_CONSOLE_H

#include <ostream>
#include <string>

// Writes `text` and a newline to `out` in one write and flushes, so that lines written by
// concurrent threads never merge. Throws std::bad_alloc when the line cannot be made.
// Thread-safe.
void consoleLine(std::ostream &out, const std::string &text);

#endif

// Console lines: each written whole, in one write, and flushed.
#include "frontend/console.h"

void consoleLine(std::ostream &out, const std::string &text)
{
    out << (text + '\n') << std::flush;
}

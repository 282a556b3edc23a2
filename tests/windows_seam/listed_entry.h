// Batch entries for the seam tests, built field by field.
#ifndef VANTREL_TESTS_WINDOWS_SEAM_LISTED_ENTRY_H
#define VANTREL_TESTS_WINDOWS_SEAM_LISTED_ENTRY_H

#include <string>

#include "frontend/batch_file.h"

// The entry of line `lineNumber` (`line` as read) of kind `kind` ('D' or 'N') with its disk
// number and text. Assigned member by member: GCC's -O3 flow analysis takes the nested brace
// form for a string that may be destroyed uninitialised.
inline ListedEntry listedEntry(char kind, int32_t number, const std::string &text, int lineNumber,
                               const std::string &line)
{
    ListedEntry entry{};
    entry.kind = kind;
    entry.number = number;
    entry.text = text;
    entry.lineNumber = lineNumber;
    entry.line = line;
    return entry;
}

#endif

// Windows text conversions: UTF-8 and the ANSI code page to and from UTF-16, and the bytes of a
// text file as UTF-8 text.
#ifndef VANTREL_WINDOWS_TEXT_ENCODING_H
#define VANTREL_WINDOWS_TEXT_ENCODING_H

#include <string>

// `text` (UTF-8) as UTF-16; an invalid sequence becomes U+FFFD. Thread-safe.
std::wstring wideFromUtf8(const std::string &text);

// `text` (UTF-16) as UTF-8; a lone surrogate becomes U+FFFD. Thread-safe.
std::string utf8FromWide(const std::wstring &text);

// The bytes of a text file as UTF-8, read the way Windows users save text: with the UTF-16 LE
// mark (FF FE) as UTF-16 LE, an odd last byte becoming U+FFFD; with the UTF-8 mark
// (EF BB BF) as UTF-8, the mark left out; without a mark as UTF-8 when the bytes are valid
// UTF-8, otherwise in the process's ANSI code page. Line ends are kept as they are.
// Thread-safe.
std::string textFileUtf8(const std::string &bytes);

#endif

// The bytes of a text file read as UTF-8: UTF-16 LE with its mark, UTF-8 with or without its
// mark, and the ANSI code page for the rest, which a test here sets to 1251 (Cyrillic) so that
// it differs from Wine's default.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "windows/text_encoding.h"
#include "windows/win32_calls.h"

namespace {

std::vector<UINT> codePagesAsked;

// The real conversion, except that the ANSI code page is 1251; every code page asked is noted.
int WINAPI ansi1251MultiByteToWideChar(UINT codePage, DWORD flags, LPCCH bytes, int size, LPWSTR wide, int room)
{
    codePagesAsked.push_back(codePage);
    return MultiByteToWideChar(codePage == CP_ACP ? 1251 : codePage, flags, bytes, size, wide, room);
}

class TextEncoding : public ::testing::Test {
protected:
    TextEncoding() : calls_(withAnsi1251()), override_(calls_) { codePagesAsked.clear(); }

private:
    static Win32Calls withAnsi1251()
    {
        Win32Calls calls = realWin32Calls();
        calls.multiByteToWideChar = ansi1251MultiByteToWideChar;
        return calls;
    }

    Win32Calls calls_;
    ScopedWin32Override override_;
};

TEST_F(TextEncoding, EachEncodingBecomesUtf8)
{
    const std::string utf16Mark = "\xFF\xFE", utf8Mark = "\xEF\xBB\xBF";
    const struct {
        const char *what;
        std::string bytes, utf8;
        bool ansi;  // the ANSI code page is asked
    } cases[] = {
        {"empty", "", "", false},
        {"ASCII", "/dev/sdb\r\n[2]\n", "/dev/sdb\r\n[2]\n", false},
        {"UTF-8 without a mark", "Z:\\\xCE\xA9.img\n", "Z:\\\xCE\xA9.img\n", false},
        {"UTF-8 with its mark", utf8Mark + "Z:\\\xCE\xA9.img\r\n", "Z:\\\xCE\xA9.img\r\n", false},
        {"the UTF-8 mark alone", utf8Mark, "", false},
        {"a UTF-8 mark after the start stays", "a\n" + utf8Mark + "b\n", "a\n" + utf8Mark + "b\n", false},
        // U+0440 U+00E9 U+1F600 (a surrogate pair), CR LF.
        {"UTF-16 LE with its mark", utf16Mark + std::string("Z\0:\0\x40\x04\xE9\0\x3D\xD8\x00\xDE\r\0\n\0", 16),
         "Z:\xD1\x80\xC3\xA9\xF0\x9F\x98\x80\r\n", false},
        {"the UTF-16 mark alone", utf16Mark, "", false},
        // A NUL character stays a NUL byte, for the batch file's reader to refuse its line; the
        // zero bytes of the other UTF-16 characters are no NUL.
        {"UTF-16 with a NUL character", utf16Mark + std::string("a\0\0\0b\0\n\0", 8), std::string("a\0b\n", 4), false},
        {"UTF-8 with a NUL", std::string("a\0\xCE\xA9\n", 5), std::string("a\0\xCE\xA9\n", 5), false},
        {"ANSI with a NUL", std::string("\xE9\0\n", 3), std::string("\xD0\xB9\0\n", 4), true},
        {"UTF-16 with an odd last byte", utf16Mark + std::string("a\0b", 3), "a\xEF\xBF\xBD", false},
        {"UTF-16 with a lone surrogate", utf16Mark + std::string("\x00\xD8x\0", 4), "\xEF\xBF\xBDx", false},
        // 0xE9 and 0xC4 in code page 1251: U+0439 and U+0414.
        {"not UTF-8: ANSI", "Z:\\\xE9\xC4.img\n", "Z:\\\xD0\xB9\xD0\x94.img\n", true},
        {"an encoded surrogate is not UTF-8", "\xED\xA0\x80\n", "\xD0\xBD\xC2\xA0\xD0\x82\n", true},
        {"an overlong form is not UTF-8", "\xC0\xAF", "\xD0\x90\xD0\x87", true},
    };
    for (const auto &c : cases) {
        codePagesAsked.clear();
        EXPECT_EQ(textFileUtf8(c.bytes), c.utf8) << c.what;
        const bool ansiAsked = std::find(codePagesAsked.begin(), codePagesAsked.end(), UINT(CP_ACP)) !=
                               codePagesAsked.end();
        EXPECT_EQ(ansiAsked, c.ansi) << c.what;
    }
}

// Names go to Win32 as UTF-16 and come back as UTF-8 unchanged; a broken sequence shows as
// U+FFFD instead of being dropped.
TEST_F(TextEncoding, NamesRoundTrip)
{
    const std::string name = "\\\\?\\scsi#disk&ven_\xC3\xA9#\xE4\xB8\xAD\xF0\x9F\x98\x80";
    EXPECT_EQ(wideFromUtf8(name), L"\\\\?\\scsi#disk&ven_\u00E9#\u4E2D\U0001F600");
    EXPECT_EQ(utf8FromWide(wideFromUtf8(name)), name);
    EXPECT_EQ(wideFromUtf8("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(wideFromUtf8(""), L"");
    EXPECT_EQ(utf8FromWide(L""), "");
}

}  // namespace

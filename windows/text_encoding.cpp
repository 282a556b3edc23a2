// Text conversions through MultiByteToWideChar and WideCharToMultiByte of the Win32 call table.
#include "windows/text_encoding.h"

#include <optional>

#include <windows.h>

#include "windows/win32_calls.h"

namespace {

const std::string utf8Mark = "\xEF\xBB\xBF";
const std::string utf16LittleEndianMark = "\xFF\xFE";

bool startsWith(const std::string &bytes, const std::string &prefix)
{
    return bytes.compare(0, prefix.size(), prefix) == 0;
}

// `bytes` in `codePage` as UTF-16; none when the conversion fails (with MB_ERR_INVALID_CHARS
// in `flags`: when the bytes are not valid in the code page).
std::optional<std::wstring> wideFromCodePage(UINT codePage, DWORD flags, const std::string &bytes)
{
    if (bytes.empty()) return std::wstring();
    const Win32Calls &w = win32();
    const int length = w.multiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), nullptr, 0);
    if (length <= 0) return std::nullopt;
    std::wstring wide(size_t(length), L'\0');
    w.multiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), wide.data(), length);
    return wide;
}

std::wstring wideFromUtf16LittleEndian(const std::string &bytes, size_t first)
{
    std::wstring wide;
    size_t i = first;
    for (; i + 1 < bytes.size(); i += 2) {
        wide.push_back(wchar_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    }
    if (i < bytes.size()) wide.push_back(L'\xFFFD');
    return wide;
}

}  // namespace

std::wstring wideFromUtf8(const std::string &text)
{
    return wideFromCodePage(CP_UTF8, 0, text).value_or(std::wstring());
}

std::string utf8FromWide(const std::wstring &text)
{
    if (text.empty()) return std::string();
    const Win32Calls &w = win32();
    const int length = w.wideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string narrow(size_t(length), '\0');
    w.wideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::string textFileUtf8(const std::string &bytes)
{
    if (startsWith(bytes, utf16LittleEndianMark)) {
        return utf8FromWide(wideFromUtf16LittleEndian(bytes, utf16LittleEndianMark.size()));
    }
    if (startsWith(bytes, utf8Mark)) return bytes.substr(utf8Mark.size());
    if (wideFromCodePage(CP_UTF8, MB_ERR_INVALID_CHARS, bytes)) return bytes;
    // Single-byte ANSI code pages convert every byte; should the conversion fail all the same,
    // the bytes go on as they are and an invalid sequence reads as U+FFFD where they are used.
    if (auto wide = wideFromCodePage(CP_ACP, 0, bytes)) return utf8FromWide(*wide);
    return bytes;
}

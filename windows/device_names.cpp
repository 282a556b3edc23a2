// Windows device-namespace names: the namespace's prefixes and the shapes of the file names
// it holds; every other name there counts as a device.
#include "windows/device_names.h"

#include <optional>
#include <vector>

namespace {

// `text` with its ASCII letters upper-cased: device names and prefixes are ASCII, and the
// system compares them without regard to case.
std::wstring upperAscii(std::wstring text)
{
    for (wchar_t &c : text) {
        if (c >= L'a' && c <= L'z') c = wchar_t(c - L'a' + L'A');
    }
    return text;
}

// What follows the device-namespace prefix of `name` (slashes already made backslashes), or
// none when `name` has no such prefix: two or more backslashes and "." or "?" (\\.\, \\?\),
// or backslashes and "??" (\??\), then a backslash or the end.
std::optional<std::wstring> afterPrefix(const std::wstring &name)
{
    const size_t slashes = name.find_first_not_of(L'\\');
    if (slashes == 0 || slashes == std::wstring::npos) return std::nullopt;
    for (const wchar_t *mark : {L"??", L".", L"?"}) {
        const std::wstring marker = mark;
        if (marker != L"??" && slashes < 2) continue;
        if (name.compare(slashes, marker.size(), marker) != 0) continue;
        const size_t end = slashes + marker.size();
        if (end == name.size()) return std::wstring();
        if (name[end] == L'\\') return name.substr(end + 1);
    }
    return std::nullopt;
}

// The non-empty components of `path` between its backslashes.
std::vector<std::wstring> componentsOf(const std::wstring &path)
{
    std::vector<std::wstring> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        if (end > start) components.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

// A component of dots (and the blanks the system trims after them) alone: "." or ".." climb,
// and "..." or ". " may be trimmed to one of them.
bool onlyDots(const std::wstring &component)
{
    return component.find_first_not_of(L". ") == std::wstring::npos;
}

bool isDriveLetter(const std::wstring &component)
{
    return component.size() == 2 && component[1] == L':' && component[0] >= L'A' && component[0] <= L'Z';
}

bool isVolumeGuid(const std::wstring &component)
{
    return component.size() > 8 && component.compare(0, 7, L"VOLUME{") == 0 && component.back() == L'}';
}

// Whether the components after the prefix (upper-cased) name a file, a named pipe, the null
// device or the console rather than a device.
bool namesNoDevice(const std::vector<std::wstring> &components)
{
    const std::wstring &first = components.front();
    const size_t count = components.size();
    if (count == 1) return first == L"NUL" || first == L"CON";
    if (isDriveLetter(first) || isVolumeGuid(first) || first == L"PIPE") return true;
    return first == L"UNC" && count >= 4;  // UNC\server\share\file
}

}  // namespace

bool isDeviceNamespaceName(const std::wstring &name)
{
    std::wstring upper = upperAscii(name);
    for (wchar_t &c : upper) {
        if (c == L'/') c = L'\\';
    }
    const std::optional<std::wstring> rest = afterPrefix(upper);
    if (!rest) return false;
    const std::vector<std::wstring> components = componentsOf(*rest);
    if (components.empty()) return true;
    for (const std::wstring &component : components) {
        if (onlyDots(component)) return true;
    }
    return !namesNoDevice(components);
}

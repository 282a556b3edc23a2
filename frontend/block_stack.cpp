// Linux block devices built on files: loop backing files and stacked devices, from sysfs.
#include "frontend/block_stack.h"

#include <filesystem>
#include <fstream>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

// Stacks are a few devices deep; the limit only guards against a sysfs that loops.
constexpr int kMaxStackDepth = 8;

// The sysfs folder of the block device `device`, or an empty path.
fs::path sysfsFolder(dev_t device)
{
    const fs::path link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::error_code error;
    return fs::canonical(link, error);
}

// The first line of a sysfs attribute, "" when it cannot be read.
std::string firstLine(const fs::path &file)
{
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A partition's data belongs to its whole device: the folder above it.
fs::path wholeDeviceFolder(const fs::path &folder)
{
    std::error_code error;
    return fs::exists(folder / "partition", error) ? folder.parent_path() : folder;
}

void collectFiles(const fs::path &folder, int depth, std::vector<std::string> &files)
{
    if (folder.empty() || depth > kMaxStackDepth) return;
    const fs::path whole = wholeDeviceFolder(folder);
    const std::string backing = firstLine(whole / "loop" / "backing_file");
    if (!backing.empty()) files.push_back(backing);
    std::error_code error;
    for (fs::directory_iterator slave(whole / "slaves", error), end; !error && slave != end;
         slave.increment(error)) {
        std::error_code unresolved;
        collectFiles(fs::canonical(slave->path(), unresolved), depth + 1, files);
    }
}

}  // namespace

std::vector<std::string> filesBehindBlockDevice(dev_t device)
{
    std::vector<std::string> files;
    collectFiles(sysfsFolder(device), 0, files);
    return files;
}

std::string wholeFileOfLoop(dev_t device)
{
    const fs::path folder = sysfsFolder(device);
    if (folder.empty()) return "";
    const fs::path loop = folder / "loop";
    if (firstLine(loop / "offset") != "0" || firstLine(loop / "sizelimit") != "0") return "";
    return firstLine(loop / "backing_file");
}

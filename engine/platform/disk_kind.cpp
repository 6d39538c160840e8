#include "engine/platform/disk_kind.h"

#include "engine/platform/sys.h"

#include <climits>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quelby {

namespace {

std::string realPath(const std::string& path)
{
    return sys::realPath(path).value_or(std::string());
}

bool exists(const std::string& path)
{
    struct stat info = {};
    return ::stat(path.c_str(), &info) == 0;
}

std::string lastName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// device is a folder of /sys/devices for one block device.
bool rotationalDevice(std::string device, int depth)
{
    if (device.empty() || depth > 8) {
        return false;
    }
    if (exists(device + "/partition")) {
        device = device.substr(0, device.rfind('/'));
    }
    const std::string name = lastName(device);
    if (name.starts_with("vd") || name.starts_with("xvd")) {
        return false;
    }
    if (DIR* members = ::opendir((device + "/slaves").c_str())) {
        bool anyMember = false;
        bool anyRotational = false;
        for (auto entry = sys::readDirectory(members); entry && *entry != nullptr;
             entry = sys::readDirectory(members)) {
            const std::string member = (*entry)->d_name;
            if (member == "." || member == "..") {
                continue;
            }
            anyMember = true;
            anyRotational = anyRotational ||
                            rotationalDevice(realPath(device + "/slaves/" + member), depth + 1);
        }
        ::closedir(members);
        if (anyMember) {
            return anyRotational;
        }
    }
    std::ifstream flag(device + "/queue/rotational");
    int rotational = 0;
    return flag >> rotational && rotational == 1;
}

} // namespace

bool onRotationalDisk(const std::string& folder)
{
    struct stat info = {};
    if (::stat(folder.c_str(), &info) != 0) {
        return false;
    }
    const std::string device = "/sys/dev/block/" + std::to_string(major(info.st_dev)) + ":" +
                               std::to_string(minor(info.st_dev));
    return rotationalDevice(realPath(device), 0);
}

} // namespace quelby

// apfs-inspect: opens an APFS image with the reader, mounts one volume and prints its tree in the
// manifest format of the fixtures (volume|path|inode|parent|mode|size|nlink|sha256|symlink|xattrs),
// or resolves paths through the directory iterator (--lookup). A test tool, not part of the service.
#include "inspect.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <filesystem>
#include <unistd.h>
#endif

namespace {

int Usage() {
    fprintf(stderr, "usage: apfs-inspect [--password PW] [--volume N] [--gpt] [--lookup PATH]... IMAGE\n"
                    "IMAGE is a device path (\\\\.\\NAME); natively also an image file.\n");
    return 2;
}

bool IsDevicePath(const std::string& path) {
    return path.rfind("\\\\.\\", 0) == 0;
}

#ifndef _WIN32
// The reader opens devices only; natively a plain image file is offered as one through the device
// folder of the POSIX layer, a whole disk (--gpt) as a physical drive.
std::string LinkImage(const std::string& image, bool gpt, std::string* folder) {
    namespace fs = std::filesystem;
    *folder = (fs::temp_directory_path() / ("apfs-inspect-" + std::to_string(getpid()))).string();
    fs::create_directories(*folder);
    std::string name = gpt ? "physicaldrive0" : "harddiskvolume0";
    fs::create_symlink(fs::absolute(image), *folder + "/" + name);
    setenv("VOLARIX_DEVICES", folder->c_str(), 1);
    return gpt ? "\\\\.\\PhysicalDrive0" : "\\\\.\\HarddiskVolume0";
}
#endif

} // namespace

int main(int argc, char** argv) {
    InspectOptions o;
    bool gpt = false;
    std::string image;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--password" && i + 1 < argc)
            o.password = argv[++i];
        else if (a == "--volume" && i + 1 < argc)
            o.volume = atoi(argv[++i]);
        else if (a == "--gpt")
            gpt = true;
        else if (a == "--lookup" && i + 1 < argc)
            o.lookups.push_back(argv[++i]);
        else if (!a.empty() && a[0] != '-' && image.empty())
            image = a;
        else
            return Usage();
    }
    if (image.empty() || o.volume > 99)
        return Usage();
    std::string folder;
    o.device = image;
#ifndef _WIN32
    if (!IsDevicePath(image))
        o.device = LinkImage(image, gpt, &folder);
#else
    if (!IsDevicePath(image)) {
        fprintf(stderr, "apfs-inspect: give the image as a device path\n");
        return 2;
    }
    (void)gpt;
#endif
    std::string out, err;
    int rc = RunInspect(o, out, err);
    fputs(out.c_str(), stdout);
    fputs(err.c_str(), stderr);
#ifndef _WIN32
    if (!folder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(folder, ec);
    }
#endif
    return rc;
}

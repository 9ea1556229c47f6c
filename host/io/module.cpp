#include "host/io/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace host::io {

namespace {

// A private copy of the image: the dynamic loader would otherwise hand back
// the copy it still has mapped (dlclose need not unmap).
std::string private_copy(const std::string& so_path, std::string* error)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/acm-driver-XXXXXX.so";
    int fd = mkstemps(path.data(), 3);
    if (fd < 0) {
        *error = "cannot create a copy of " + so_path;
        return {};
    }
    close(fd);
    std::error_code ec;
    std::filesystem::copy_file(so_path, path, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        unlink(path.c_str());
        *error = "cannot copy " + so_path + ": " + ec.message();
        return {};
    }
    return path;
}

}  // namespace

std::unique_ptr<DriverModule> DriverModule::load(const std::string& so_path, std::string* error)
{
    std::string copy = private_copy(so_path, error);
    if (copy.empty())
        return nullptr;
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    unlink(copy.c_str());   // the mapping stays; the name is not needed any more
    if (!handle) {
        *error = dlerror();
        return nullptr;
    }
    auto* entry = reinterpret_cast<DRIVER_INITIALIZE*>(dlsym(handle, "DriverEntry"));
    if (!entry) {
        *error = so_path + " has no DriverEntry";
        dlclose(handle);
        return nullptr;
    }
    return std::unique_ptr<DriverModule>(new DriverModule(handle, entry));
}

DriverModule::~DriverModule() { dlclose(handle_); }

}  // namespace host::io

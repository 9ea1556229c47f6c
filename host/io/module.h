// A driver built as a shared object. Each load maps a private copy of the
// file, so that the driver's globals start from their initial values every
// time, as they do when Windows loads a driver image anew.
#pragma once

#include <ntddk.h>

#include <memory>
#include <string>

namespace host::io {

class DriverModule {
public:
    // Loads `so_path` (RTLD_NOW | RTLD_LOCAL) and finds `DriverEntry`;
    // nullptr with `error` set when either fails.
    static std::unique_ptr<DriverModule> load(const std::string& so_path, std::string* error);
    ~DriverModule();   // dlclose

    DRIVER_INITIALIZE* entry() const { return entry_; }

    DriverModule(const DriverModule&) = delete;
    DriverModule& operator=(const DriverModule&) = delete;

private:
    DriverModule(void* handle, DRIVER_INITIALIZE* entry) : handle_(handle), entry_(entry) {}
    void* handle_;
    DRIVER_INITIALIZE* entry_;
};

}  // namespace host::io

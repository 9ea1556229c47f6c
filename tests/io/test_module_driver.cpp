// A driver module for the loader test. Its global counts DriverEntry calls
// in this copy of the module; each load publishes the count as a link name.
#include "host/io/iomgr.h"

namespace {
int g_entries = 0;
}

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driver,
                                                                       PUNICODE_STRING registry_path)
{
    ++g_entries;
    std::u16string link = u"\\DosDevices\\ModuleEntry" + std::u16string(1, char16_t(u'0' + g_entries));
    std::u16string path(reinterpret_cast<const char16_t*>(registry_path->Buffer), registry_path->Length / 2);
    NTSTATUS status = host::io::create_symbolic_link(link, path);
    if (NT_SUCCESS(status))
        driver->unload = [link](PDRIVER_OBJECT) { host::io::delete_symbolic_link(link); };
    return status;
}

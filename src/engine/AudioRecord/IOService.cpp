#include "AudioRecord/IOService.h"

std::vector<IOService> IOService::getServicesByClassName(const std::string& className)
{
    std::vector<IOService> services;
    const io_registry_entry_t root = IORegistryGetRootEntry(kIOMasterPortDefault);
    io_iterator_t iterator;
    if (IORegistryEntryCreateIterator(root, kIOServicePlane, kIORegistryIterateRecursively, &iterator)
        != kIOReturnSuccess)
        return services;
    // The iterator's reference to each entry goes at the end of its turn;
    // the wrapper keeps one of its own.
    while (const io_object_t entry = IOIteratorNext(iterator))
        if (IOObjectConformsTo(entry, className.c_str()))
            services.emplace_back(entry);
    return services;
}

std::optional<std::string> IOService::path() const
{
    io_string_t buffer{};
    if (IORegistryEntryGetPath(serviceID_, kIOServicePlane, buffer) != kIOReturnSuccess)
        return std::nullopt;
    return std::string(buffer);
}

void IOService::matchingServiceWithTable(const CFDictionary& table) const
{
    bool matches = false;
    IOServiceMatchPropertyTable(serviceID_, table, &matches);
}

#include "platform/IORegistry.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace {

std::atomic<std::uint32_t> lastEntryId{0};

// Nothing but a root: what a program sees before a platform is installed.
class EmptyRegistry final : public IORegistryBackend {
public:
    io_registry_entry_t rootEntry() override
    {
        return std::make_shared<IORegistryEntry>(std::vector<std::string>{"IORegistryEntry"}, "IOService:/");
    }
};

// The mutex only orders installation against use, as for the audio backend.
std::mutex registryMutex;
std::unique_ptr<IORegistryBackend> installedRegistry;

void walk(const IORegistryEntry& entry, bool recursive, std::vector<io_registry_entry_t>& out)
{
    for (const auto& child : entry.children()) {
        out.push_back(child);
        if (recursive)
            walk(*child, true, out);
    }
}

bool isServicePlane(const char* plane)
{
    return plane != nullptr && std::strcmp(plane, kIOServicePlane) == 0;
}

}  // namespace

IORegistryEntry::IORegistryEntry(std::vector<std::string> classes, std::string path)
    : id_(++lastEntryId), classes_(std::move(classes)), path_(std::move(path))
{ }

bool IORegistryEntry::conformsTo(std::string_view className) const
{
    return std::find(classes_.begin(), classes_.end(), className) != classes_.end();
}

IOReturn IORegistryEntry::matchPropertyTable(const CFDictionary&, bool* matches) const
{
    if (matches)
        *matches = false;
    return kIOReturnSuccess;
}

IORegistryBackend& ioRegistryBackend()
{
    std::lock_guard lock(registryMutex);
    if (!installedRegistry)
        installedRegistry = std::make_unique<EmptyRegistry>();
    return *installedRegistry;
}

std::unique_ptr<IORegistryBackend> setIORegistryBackend(std::unique_ptr<IORegistryBackend> backend)
{
    std::lock_guard lock(registryMutex);
    std::swap(installedRegistry, backend);
    return backend;
}

io_registry_entry_t IORegistryGetRootEntry(mach_port_t)
{
    return ioRegistryBackend().rootEntry();
}

IOReturn IORegistryEntryCreateIterator(
    const io_registry_entry_t& entry, const char* plane, IOOptionBits options, io_iterator_t* iterator)
{
    if (!entry || iterator == nullptr)
        return kIOReturnBadArgument;
    if (!isServicePlane(plane))
        return kIOReturnUnsupported;
    std::vector<io_registry_entry_t> entries;
    walk(*entry, (options & kIORegistryIterateRecursively) != 0, entries);
    *iterator = std::make_unique<IORegistryIterator>(std::move(entries));
    return kIOReturnSuccess;
}

io_object_t IOIteratorNext(const io_iterator_t& iterator)
{
    return iterator ? iterator->next() : nullptr;
}

bool IOObjectConformsTo(const io_object_t& object, const char* className)
{
    return object && className != nullptr && object->conformsTo(className);
}

IOReturn IORegistryEntryGetPath(const io_registry_entry_t& entry, const char* plane, io_string_t path)
{
    if (!entry || path == nullptr)
        return kIOReturnBadArgument;
    if (!isServicePlane(plane))
        return kIOReturnUnsupported;
    const std::string& p = entry->path();
    if (p.size() + 1 > sizeof(io_string_t))
        return kIOReturnBadArgument;
    std::memcpy(path, p.c_str(), p.size() + 1);
    return kIOReturnSuccess;
}

IOReturn IOServiceMatchPropertyTable(const io_service_t& service, const CFDictionary& matching, bool* matches)
{
    if (!service)
        return kIOReturnBadArgument;
    return service->matchPropertyTable(matching, matches);
}

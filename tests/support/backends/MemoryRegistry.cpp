#include "support/backends/MemoryRegistry.h"

namespace {

// Keeps what it is handed in the registry's log; the log is shared so that a
// handle kept past the registry's end still has somewhere to write.
class RecordingDriver final : public IORegistryEntry {
public:
    RecordingDriver(
        std::vector<std::string> classes, std::string path, std::shared_ptr<std::vector<MemoryRegistry::Handed>> log)
        : IORegistryEntry(std::move(classes), std::move(path)), log_(std::move(log))
    { }

    IOReturn matchPropertyTable(const CFDictionary& table, bool* matches) const override
    {
        log_->push_back({id(), table});
        if (matches)
            *matches = true;
        return kIOReturnSuccess;
    }

private:
    std::shared_ptr<std::vector<MemoryRegistry::Handed>> log_;
};

}  // namespace

MemoryRegistry::MemoryRegistry()
    : root_(std::make_shared<IORegistryEntry>(std::vector<std::string>{"IORegistryEntry"}, "IOService:/"))
{ }

std::uint32_t MemoryRegistry::addEntry(std::vector<std::string> classes, std::string path, std::uint32_t parent)
{
    return add(std::make_shared<IORegistryEntry>(std::move(classes), std::move(path)), parent);
}

std::uint32_t MemoryRegistry::addDriver(std::vector<std::string> classes, std::string path, std::uint32_t parent)
{
    return add(std::make_shared<RecordingDriver>(std::move(classes), std::move(path), handed_), parent);
}

std::uint32_t MemoryRegistry::add(std::shared_ptr<IORegistryEntry> entry, std::uint32_t parent)
{
    IORegistryEntry* under = root_.get();
    if (parent != 0) {
        const auto found = entries_.find(parent);
        if (found == entries_.end())
            return 0;
        under = found->second.get();
    }
    under->adopt(entry);
    entries_[entry->id()] = entry;
    return entry->id();
}

long MemoryRegistry::outstandingReferences() const
{
    // Each entry is held by this map and by its parent's list of children.
    long count = root_.use_count() - 1;
    for (const auto& [id, entry] : entries_)
        count += entry.use_count() - 2;
    return count;
}

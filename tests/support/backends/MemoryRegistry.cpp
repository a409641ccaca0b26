#include "support/backends/MemoryRegistry.h"

namespace {

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

std::uint32_t MemoryRegistry::addDriver(std::vector<std::string> classes, std::string path)
{
    return add(std::make_shared<RecordingDriver>(std::move(classes), std::move(path), handed_));
}

long MemoryRegistry::outstandingReferences() const
{
    // Each entry is held here and by the root's list of children.
    long count = root_.use_count() - 1;
    for (const auto& entry : entries_)
        count += entry.use_count() - 2;
    return count;
}

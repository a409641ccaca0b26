// An I/O registry kept in memory, for deterministic tests: entries with
// chosen classes and paths, in the order the test adds them, and driver
// entries that keep every property table they are handed.
//
// Install it with setIORegistryBackend() and keep a raw, non-owning pointer
// to build and inspect it; the process-wide slot owns it. Main thread only.
#pragma once

#include "platform/IORegistry.h"

#include <memory>
#include <string>
#include <vector>

class MemoryRegistry final : public IORegistryBackend {
public:
    // One table a driver entry was handed.
    struct Handed {
        std::uint32_t driver = 0;  // the entry's id
        CFDictionary table;
    };

    // Adds an entry as the root's last child and answers its id. classes:
    // its own class first, then the classes it derives from.
    std::uint32_t addEntry(std::vector<std::string> classes, std::string path)
    {
        return add(std::make_shared<IORegistryEntry>(std::move(classes), std::move(path)));
    }
    // The same for an entry whose driver keeps what it is handed.
    std::uint32_t addDriver(std::vector<std::string> classes, std::string path);

    std::vector<Handed> handed() const { return *handed_; }  // in the order they came
    void clearHanded() { handed_->clear(); }
    // References held outside the registry, over all its entries: 0 once
    // every handle given out has been given back.
    long outstandingReferences() const;

    io_registry_entry_t rootEntry() override { return root_; }

private:
    std::uint32_t add(std::shared_ptr<IORegistryEntry> entry)
    {
        root_->adopt(entry);
        entries_.push_back(entry);
        return entry->id();
    }

    std::shared_ptr<IORegistryEntry> root_
        = std::make_shared<IORegistryEntry>(std::vector<std::string>{"IORegistryEntry"}, "IOService:/");
    std::vector<std::shared_ptr<IORegistryEntry>> entries_;
    // Shared with the drivers, so a handle kept past the registry's end still has somewhere to write.
    std::shared_ptr<std::vector<Handed>> handed_ = std::make_shared<std::vector<Handed>>();
};

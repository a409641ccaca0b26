// An I/O registry kept in memory, for deterministic tests: entries with
// chosen classes and paths, placed where the test wants them in the walk, and
// driver entries that keep every property table they are handed.
//
// Install it with setIORegistryBackend(std::make_unique<MemoryRegistry>()) and
// keep a raw, non-owning pointer to build and inspect it; the process-wide
// slot owns it. Main thread only.
#pragma once

#include "platform/IORegistry.h"

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class MemoryRegistry final : public IORegistryBackend {
public:
    // One table a driver entry was handed, in the order they came.
    struct Handed {
        std::uint32_t driver = 0;  // the entry's id
        CFDictionary table;
    };

    MemoryRegistry();

    // Adds an entry as the last child of `parent` (0: the root) and answers
    // its id, or 0 for an unknown parent. classes: its own class first, then
    // the classes it derives from.
    std::uint32_t addEntry(std::vector<std::string> classes, std::string path, std::uint32_t parent = 0);
    // The same for an entry whose driver keeps what it is handed.
    std::uint32_t addDriver(std::vector<std::string> classes, std::string path, std::uint32_t parent = 0);

    std::vector<Handed> handed() const { return *handed_; }
    void clearHanded() { handed_->clear(); }
    // References held outside the registry itself, over all its entries: 0
    // once every handle given out has been given back.
    long outstandingReferences() const;

    io_registry_entry_t rootEntry() override { return root_; }

private:
    std::uint32_t add(std::shared_ptr<IORegistryEntry> entry, std::uint32_t parent);

    std::shared_ptr<IORegistryEntry> root_;
    std::unordered_map<std::uint32_t, std::shared_ptr<IORegistryEntry>> entries_;
    std::shared_ptr<std::vector<Handed>> handed_ = std::make_shared<std::vector<Handed>>();
};

// A folder of its own for one test, removed with everything in it when the
// object goes. Test thread only.
#pragma once

#include <string>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a name inside it.
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

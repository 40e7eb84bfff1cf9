#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace pellan::platform {

// A system-wide named mutex used only to tell whether another program holds the same name.
// Held from Create until the object is destroyed (or the process ends).
class NamedMutex {
  public:
    virtual ~NamedMutex() = default;

    // Creates the mutex `name`. `alreadyExists` becomes true when another holder has it (the
    // object returned is then null). Under a device root the mutex is the file
    // DIR/mutex/<name>; otherwise a file of that name in the user's runtime folder. When the lock
    // file cannot be made at all, nobody else can hold it either: null, alreadyExists false.
    static std::unique_ptr<NamedMutex> Create(const std::string& name,
                                              const std::filesystem::path& deviceRoot,
                                              bool& alreadyExists);

    // Where the lock of `name` lives on this system (for messages and documentation).
    static std::filesystem::path LockPath(const std::string& name,
                                          const std::filesystem::path& deviceRoot);
};

}  // namespace pellan::platform

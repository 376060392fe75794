#pragma once

#include <chrono>
#include <stdexcept>
#include <string>

// Another apply holds the box; its text names who, where and since when.
class BoxBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The advisory lock (flock) that one apply at a time holds on a box, in the history folder: the
// file names its holder while it is held and is empty otherwise. kipd has no lock of its own.
class BoxLock {
public:
    // Waits up to `wait` for the lock; throws BoxBusy, or HistoryError when the file cannot be made.
    BoxLock(const std::string& path, std::chrono::milliseconds wait);
    ~BoxLock();
    BoxLock(const BoxLock&) = delete;
    BoxLock& operator=(const BoxLock&) = delete;

private:
    std::string holder() const;

    std::string path;
    int fd = -1;
};

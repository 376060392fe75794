#pragma once

#include <memory>
#include <utility>

// A value that one thread publishes whole and any other reads whole: a reader gets the last
// published copy (or none yet), never one being written. The exchange is the standard library's
// atomic access to a shared pointer, so neither side takes a lock of ours.
template <class T>
class Published {
public:
    void publish(T value) { std::atomic_store(&current, std::make_shared<const T>(std::move(value))); }
    // Empty until the first publish.
    std::shared_ptr<const T> latest() const { return std::atomic_load(&current); }

private:
    std::shared_ptr<const T> current;
};

#pragma once
// One station per settings file: a second start on the same settings file
// finds the first one's lock. Stations with different settings files run
// side by side. The lock is an flock on a file in $XDG_RUNTIME_DIR (or /tmp)
// named after the resolved settings path; the kernel drops it when the
// process ends, however it ends. A clean end also removes the file.

#include <string>

// Held until it goes (or is released): it moves, never copies.
struct InstanceLock {
    int fd = -1;
    std::string path;  // the lock file

    InstanceLock() = default;
    InstanceLock(InstanceLock&& other) noexcept;
    InstanceLock& operator=(InstanceLock&& other) noexcept;
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;
    ~InstanceLock();
};

// The lock file that stands for `settings_path`.
std::string instance_lock_path(const std::string& settings_path);
// 1: this process now holds the lock; 0: another station holds it;
// -1: the lock file cannot be made, errno tells why (the caller may run
// unguarded).
int acquire_instance_lock(InstanceLock& lock, const std::string& settings_path);
// Removes the lock file and drops the lock.
void release_instance_lock(InstanceLock& lock);

#ifndef PS_MACHINELOCK_H
#define PS_MACHINELOCK_H

#include <QString>

#include <cstdint>

namespace Ps {

// One verb that writes at a time on this machine, whatever the temporary
// folder, the user or the session it runs in: package scripts, timers, plays
// and the window run beside each other. The kernel releases it when its
// holder ends, however it ends, so nothing a killed run leaves behind ever
// makes a later run wait. One thin file per platform.
class MachineLock
{
public:
    enum class State {
        Held,
        Busy,        // another run held it for the whole wait
        Unavailable, // it could not be opened at all (off Windows: only root may)
    };

    // Waits up to waitMs for the lock.
    explicit MachineLock(int waitMs);
    ~MachineLock();
    MachineLock(const MachineLock &) = delete;
    MachineLock &operator=(const MachineLock &) = delete;

    State state() const { return taken; }
    // What it is, for a person to look: a file or a kernel object's name.
    static QString location();

private:
    std::intptr_t handle = -1;
    State taken = State::Unavailable;
};

} // namespace Ps

#endif

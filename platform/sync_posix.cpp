#include "platform/win.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using SteadyClock = std::chrono::steady_clock;
using platform::posix::KernelObject;

std::optional<SteadyClock::time_point> deadlineAfter(DWORD milliseconds) {
    if (milliseconds == INFINITE) {
        return std::nullopt;
    }
    return SteadyClock::now() + std::chrono::milliseconds(milliseconds);
}

bool expired(const std::optional<SteadyClock::time_point>& deadline) {
    return deadline && SteadyClock::now() >= *deadline;
}

// One mutex of this process, shared by all its handles. A named one also holds two lock files:
// `owner` is locked exclusively while a thread of this process owns the mutex, `presence` is
// locked shared while this process has a handle, so another process can tell that the name exists.
// The first byte of the owner file is '1' while owned: a process that dies holding the mutex
// leaves it behind, and the next owner learns that the mutex was abandoned, as on Windows.
struct MutexCore {
    std::mutex lock;
    std::condition_variable changed;
    DWORD owner = 0;
    unsigned recursion = 0;
    bool abandoned = false;
    std::string ownerPath;
    std::string presencePath;
    int ownerFd = -1;
    int presenceFd = -1;

    MutexCore() = default;
    MutexCore(const MutexCore&) = delete;
    MutexCore& operator=(const MutexCore&) = delete;
    ~MutexCore() {
        // The last handle of all processes takes the files with it, as the name goes on Windows.
        // Whoever opens the name meanwhile finds its file replaced and opens it again.
        if (presenceFd >= 0 && ::flock(presenceFd, LOCK_EX | LOCK_NB) == 0) {
            ::unlink(ownerPath.c_str());
            ::unlink(presencePath.c_str());
        }
        if (ownerFd >= 0) {
            ::close(ownerFd);
        }
        if (presenceFd >= 0) {
            ::close(presenceFd);
        }
    }
};

// The mutexes the current thread owns: when the thread ends without releasing them, they are
// abandoned and the next waiter gets WAIT_ABANDONED.
class OwnedByThread {
public:
    OwnedByThread() = default;
    OwnedByThread(const OwnedByThread&) = delete;
    OwnedByThread& operator=(const OwnedByThread&) = delete;
    ~OwnedByThread() {
        DWORD self = GetCurrentThreadId();
        for (auto& weak : owned_) {
            auto core = weak.lock();
            if (!core) {
                continue;
            }
            std::lock_guard guard(core->lock);
            if (core->owner != self) {
                continue;
            }
            core->owner = 0;
            core->recursion = 0;
            if (core->ownerFd >= 0) {
                // The marker stays '1' and tells the next owner, in whichever process.
                ::flock(core->ownerFd, LOCK_UN);
            } else {
                core->abandoned = true;
            }
            core->changed.notify_all();
        }
    }

    void add(const std::shared_ptr<MutexCore>& core) { owned_.push_back(core); }
    void remove(const MutexCore* core) {
        std::erase_if(owned_, [core](const std::weak_ptr<MutexCore>& weak) {
            auto held = weak.lock();
            return !held || held.get() == core;
        });
    }

private:
    std::vector<std::weak_ptr<MutexCore>> owned_;
};

OwnedByThread& ownedByThread() {
    thread_local OwnedByThread owned;
    return owned;
}

// Takes the cross-process lock of a named mutex without blocking; the caller holds core.lock.
bool tryTakeFileLock(MutexCore& core, bool& abandonedElsewhere) {
    if (::flock(core.ownerFd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    char marker = '0';
    abandonedElsewhere = ::pread(core.ownerFd, &marker, 1, 0) == 1 && marker == '1';
    marker = '1';
    if (::pwrite(core.ownerFd, &marker, 1, 0) != 1) {
        // Without the marker only a later abandonment goes unnoticed; the lock itself holds.
    }
    return true;
}

void dropFileLock(MutexCore& core) {
    char marker = '0';
    if (::pwrite(core.ownerFd, &marker, 1, 0) != 1) {
        // A stale '1' would only report a spurious abandonment to the next owner.
    }
    ::flock(core.ownerFd, LOCK_UN);
}

DWORD acquire(const std::shared_ptr<MutexCore>& core, DWORD milliseconds) {
    const auto deadline = deadlineAfter(milliseconds);
    const DWORD self = GetCurrentThreadId();
    std::unique_lock guard(core->lock);
    if (core->owner == self) {
        ++core->recursion;
        return WAIT_OBJECT_0;
    }
    // Another process is not seen changing the lock file, so its release is looked for at short,
    // growing intervals.
    auto pollStep = std::chrono::milliseconds(1);
    for (;;) {
        if (core->owner == 0) {
            bool abandonedElsewhere = false;
            if (core->ownerFd < 0 || tryTakeFileLock(*core, abandonedElsewhere)) {
                const bool abandoned = core->abandoned || abandonedElsewhere;
                core->abandoned = false;
                core->owner = self;
                core->recursion = 1;
                ownedByThread().add(core);
                return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
            }
            if (expired(deadline)) {
                return WAIT_TIMEOUT;
            }
            auto until = SteadyClock::now() + pollStep;
            if (deadline && *deadline < until) {
                until = *deadline;
            }
            core->changed.wait_until(guard, until);
            pollStep = std::min(pollStep * 2, std::chrono::milliseconds(10));
            continue;
        }
        if (expired(deadline)) {
            return WAIT_TIMEOUT;
        }
        if (deadline) {
            core->changed.wait_until(guard, *deadline);
        } else {
            core->changed.wait(guard);
        }
    }
}

class MutexObject : public KernelObject {
public:
    explicit MutexObject(std::shared_ptr<MutexCore> core) : core_(std::move(core)) {}
    DWORD wait(DWORD milliseconds) override { return acquire(core_, milliseconds); }

    BOOL release() {
        std::lock_guard guard(core_->lock);
        if (core_->owner != GetCurrentThreadId()) {
            SetLastError(ERROR_NOT_OWNER);
            return FALSE;
        }
        if (--core_->recursion == 0) {
            core_->owner = 0;
            if (core_->ownerFd >= 0) {
                dropFileLock(*core_);
            }
            ownedByThread().remove(core_.get());
            core_->changed.notify_all();
        }
        return TRUE;
    }

private:
    std::shared_ptr<MutexCore> core_;
};

std::mutex& namedMutexesLock() {
    static std::mutex lock;
    return lock;
}

std::map<std::string, std::weak_ptr<MutexCore>>& namedMutexes() {
    static std::map<std::string, std::weak_ptr<MutexCore>> table;
    return table;
}

std::string lockFilePath(const std::string& name, const char* suffix) {
    const char* dir = std::getenv("MOVRA_MUTEX_DIR");
    std::string path = (dir != nullptr && *dir != '\0') ? dir : "/tmp";
    path += "/movra-mutex-";
    // Windows names may hold any character but '\0'; a file name cannot hold '/'.
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : name) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '_' || c == '-' || c == '.';
        if (plain) {
            path += static_cast<char>(c);
        } else {
            path += '%';
            path += hex[c >> 4];
            path += hex[c & 0x0F];
        }
    }
    return path + suffix;
}

DWORD errorFromErrno(int error) {
    return (error == EACCES || error == EPERM) ? ERROR_ACCESS_DENIED : ERROR_PATH_NOT_FOUND;
}

int lockWaiting(int fd, int operation) {
    int result;
    do {
        result = ::flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

bool sameFile(int fd, const std::string& path) {
    struct stat opened;
    struct stat named;
    return ::fstat(fd, &opened) == 0 && ::stat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Opens the lock files of a name not yet open in this process; reports whether another process
// has it open. The owner file is opened only under the shared presence lock, so the last closer,
// which removes both files under the exclusive one, never pulls it from under a user.
std::shared_ptr<MutexCore> openNamedCore(const std::string& name, bool& existed, DWORD& error) {
    auto core = std::make_shared<MutexCore>();
    core->ownerPath = lockFilePath(name, ".lock");
    core->presencePath = lockFilePath(name, ".open");
    for (;;) {
        core->presenceFd = ::open(core->presencePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (core->presenceFd < 0) {
            error = errorFromErrno(errno);
            return nullptr;
        }
        existed = ::flock(core->presenceFd, LOCK_EX | LOCK_NB) != 0;
        // Shared from now on, so that later openers see the name as existing.
        if (lockWaiting(core->presenceFd, LOCK_SH) != 0) {
            error = errorFromErrno(errno);
            return nullptr;
        }
        if (sameFile(core->presenceFd, core->presencePath)) {
            break;
        }
        ::close(core->presenceFd);
    }
    core->ownerFd = ::open(core->ownerPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (core->ownerFd < 0) {
        error = errorFromErrno(errno);
        return nullptr;
    }
    return core;
}

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool signalled)
        : manualReset_(manualReset), signalled_(signalled) {}

    DWORD wait(DWORD milliseconds) override {
        const auto deadline = deadlineAfter(milliseconds);
        std::unique_lock guard(lock_);
        while (!signalled_) {
            if (expired(deadline)) {
                return WAIT_TIMEOUT;
            }
            if (deadline) {
                changed_.wait_until(guard, *deadline);
            } else {
                changed_.wait(guard);
            }
        }
        if (!manualReset_) {
            signalled_ = false;
        }
        return WAIT_OBJECT_0;
    }

    void set(bool signalled) {
        std::lock_guard guard(lock_);
        signalled_ = signalled;
        if (signalled) {
            // An auto-reset event lets exactly one waiter through; the others find it reset.
            changed_.notify_all();
        }
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    const bool manualReset_;
    bool signalled_;
};

template <typename T>
T* objectOf(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return dynamic_cast<T*>(platform::posix::fromHandle(handle));
}

}  // namespace

extern "C" HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    std::shared_ptr<MutexCore> core;
    bool existed = false;
    if (name == nullptr || *name == '\0') {
        core = std::make_shared<MutexCore>();
    } else {
        std::lock_guard guard(namedMutexesLock());
        auto& table = namedMutexes();
        auto found = table.find(name);
        if (found != table.end()) {
            core = found->second.lock();
        }
        if (core) {
            existed = true;
        } else {
            DWORD error = 0;
            core = openNamedCore(name, existed, error);
            if (!core) {
                SetLastError(error);
                return nullptr;
            }
            table[name] = core;
        }
        // Names whose mutexes are all closed would otherwise pile up.
        std::erase_if(table, [](const auto& entry) { return entry.second.expired(); });
    }
    auto* object = new MutexObject(core);
    // As on Windows, the caller of an existing mutex does not become its owner.
    if (initialOwner && !existed) {
        acquire(core, INFINITE);
    }
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return platform::posix::toHandle(object);
}

extern "C" BOOL ReleaseMutex(HANDLE mutex) {
    auto* object = objectOf<MutexObject>(mutex);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->release();
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState,
                               LPCSTR name) {
    if (name != nullptr && *name != '\0') {
        // Nothing in the programs shares an event by name.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return platform::posix::toHandle(new EventObject(manualReset != FALSE, initialState != FALSE));
}

extern "C" BOOL SetEvent(HANDLE event) {
    auto* object = objectOf<EventObject>(event);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->set(true);
    return TRUE;
}

extern "C" BOOL ResetEvent(HANDLE event) {
    auto* object = objectOf<EventObject>(event);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    object->set(false);
    return TRUE;
}

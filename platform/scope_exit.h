// ScopeExit: runs a clean-up when the scope is left, by return or exception, unless release()
// said the work is committed.
#pragma once

#include <utility>

namespace platform {

template <typename F>
class [[nodiscard]] ScopeExit {
public:
    explicit ScopeExit(F action) noexcept(noexcept(F(std::move(action))))
        : action(std::move(action)) {}
    ScopeExit(ScopeExit&& other) noexcept(noexcept(F(std::move(other.action))))
        : action(std::move(other.action)), armed(std::exchange(other.armed, false)) {}
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    ScopeExit& operator=(ScopeExit&&) = delete;
    ~ScopeExit() {
        if (armed) {
            action();
        }
    }

    // The clean-up will not run.
    void release() noexcept { armed = false; }

private:
    F action;
    bool armed = true;
};

template <typename F>
ScopeExit<F> scopeExit(F action) {
    return ScopeExit<F>(std::move(action));
}

}  // namespace platform

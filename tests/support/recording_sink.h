// A client's data-callback sink that records every call, for the in-process tests of the group's
// I/O and for the end-to-end tests, where the server calls it across processes.
#pragma once

#include "common/com/com_object.h"
#include "common/opc/opc_ids.h"
#include "platform/unique_variant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace movra::test {

struct Entry {
    OPCHANDLE client;
    VARTYPE type;
    double value;  // the VARIANT as a double; NaN when it does not convert
    WORD quality;
    FILETIME time;
    HRESULT error;
};

struct Callback {
    enum Kind { DataChange, ReadComplete, CancelComplete } kind;
    DWORD transaction;
    OPCHANDLE group;
    HRESULT masterQuality;
    HRESULT masterError;
    std::vector<Entry> entries;
    FILETIME arrived{};  // the system time when the sink was called
    DWORD thread = 0;    // the thread that called it

    std::vector<OPCHANDLE> clients() const {
        std::vector<OPCHANDLE> handles;
        for (const Entry& entry : entries) {
            handles.push_back(entry.client);
        }
        return handles;
    }
};

class RecordingSink final : public com::ComObject<RecordingSink, IOPCDataCallback> {
public:
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE group, HRESULT quality,
                                           HRESULT error, DWORD count, OPCHANDLE* clients,
                                           VARIANT* values, WORD* qualities, FILETIME* times,
                                           HRESULT* errors) noexcept override {
        return record({Callback::DataChange, transaction, group, quality, error,
                       entries(count, clients, values, qualities, times, errors)});
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD transaction, OPCHANDLE group, HRESULT quality,
                                             HRESULT error, DWORD count, OPCHANDLE* clients,
                                             VARIANT* values, WORD* qualities, FILETIME* times,
                                             HRESULT* errors) noexcept override {
        return record({Callback::ReadComplete, transaction, group, quality, error,
                       entries(count, clients, values, qualities, times, errors)});
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*,
                                              HRESULT*) noexcept override {
        ADD_FAILURE() << "no write is ever completed";
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD transaction,
                                               OPCHANDLE group) noexcept override {
        return record({Callback::CancelComplete, transaction, group, S_OK, S_OK, {}});
    }

    std::vector<Callback> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // Waits (in real time) until `count` callbacks have arrived.
    bool awaitCalls(size_t count, int timeoutMs = 5000) {
        return awaitCall(
            [count](const std::vector<Callback>& calls) { return calls.size() >= count; },
            timeoutMs);
    }
    // Waits (in real time) until `done` holds for the calls recorded so far.
    bool awaitCall(const std::function<bool(const std::vector<Callback>&)>& done,
                   int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return done(calls_); });
    }

    // Runs inside each callback before it is recorded; its result is the callback's.
    std::function<HRESULT(const Callback&)> inside;
    // Set when a callback came while another was still running: a sink is called one at a time.
    std::atomic<bool> overlapped{false};

private:
    friend class com::ComObject<RecordingSink, IOPCDataCallback>;
    ~RecordingSink() override = default;

    static std::vector<Entry> entries(DWORD count, OPCHANDLE* clients, VARIANT* values,
                                      WORD* qualities, FILETIME* times, HRESULT* errors) {
        std::vector<Entry> result;
        for (DWORD i = 0; i < count; ++i) {
            platform::UniqueVariant asDouble;
            double value = SUCCEEDED(VariantChangeType(asDouble.get(), &values[i], 0, VT_R8))
                               ? asDouble->dblVal
                               : std::nan("");
            result.push_back({clients[i], values[i].vt, value, qualities[i], times[i], errors[i]});
        }
        return result;
    }
    HRESULT record(Callback call) {
        GetSystemTimeAsFileTime(&call.arrived);
        call.thread = GetCurrentThreadId();
        if (running_++ != 0) {
            overlapped = true;
        }
        HRESULT result = inside ? inside(call) : S_OK;
        --running_;
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
        arrived_.notify_all();
        return result;
    }

    std::atomic<int> running_{0};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Callback> calls_;
};

}  // namespace movra::test

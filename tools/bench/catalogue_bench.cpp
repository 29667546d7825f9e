// Figures of the item catalogue at the largest configuration, 100 KMT-U devices: build time,
// lookups of every offered item ID, publication of one full poll cycle, and memory.
//
//   catalogue_bench [rounds]     (default 20; the best round is reported)

#include "server/opc/catalogue.h"
#include "server/poll/publish.h"
#include "tools/bench/bench_support.h"
#include "tools/bench/counted_heap.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <new>
#include <random>
#include <vector>

namespace {

using movra::bench::Clock;

using movra::bench::millisecondsSince;

// One slot laid out with the fixed buffers of the original design (ID of 16 units, six
// properties with a 101-unit description and a VARIANT each, lastUpdate), for comparison.
struct FixedBufferProperty {
    DWORD id;
    WCHAR description[101];
    VARTYPE type;
    VARIANT value;
};
struct FixedBufferRecord {
    WCHAR itemId[16];
    FixedBufferProperty properties[6];
    FILETIME lastUpdate;
};

// The best wall time and the best processor time over the rounds; on a busy machine the
// processor time (std::clock, the process's CPU time on Linux) is the steadier figure.
struct Timing {
    double wallMs = 1e300;
    double cpuMs = 1e300;
};

template <typename Body>
Timing bestOf(int rounds, Body body) {
    Timing best;
    for (int round = 0; round < rounds; ++round) {
        const std::clock_t cpuStart = std::clock();
        const Clock::time_point start = Clock::now();
        body();
        best.wallMs = std::min(best.wallMs, millisecondsSince(start));
        best.cpuMs = std::min(
            best.cpuMs, 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
    }
    return best;
}

void printTiming(const char* figure, const Timing& timing) {
    std::printf("  %-44s %11.3f ms %11.3f ms\n", figure, timing.wallMs, timing.cpuMs);
}

void printPer(const char* figure, const Timing& timing, size_t count) {
    std::printf("  %-44s %11.1f ns %11.1f ns\n", figure, timing.wallMs * 1e6 / count,
                timing.cpuMs * 1e6 / count);
}

void printCount(const char* figure, size_t value) {
    std::printf("  %-44s %14zu\n", figure, value);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const movra::ServerConfiguration config = movra::bench::hundredKmtU(60000);
    int failures = 0;

    // Memory: the heap growth of one build, with the configuration already in place.
    const size_t before = liveBytes.load();
    auto catalogue = std::make_unique<movra::CMovraItem>(platform::realClock());
    if (catalogue->BuildCatalogue(config) != S_OK) {
        std::fprintf(stderr, "BuildCatalogue failed\n");
        return 1;
    }
    const size_t measuredBytes = liveBytes.load() - before;
    const uint32_t slots = catalogue->slotCount();
    const uint32_t items = catalogue->itemCount();

    const Timing build = bestOf(rounds, [&] {
        if (catalogue->BuildCatalogue(config) != S_OK) {
            ++failures;
        }
    });

    // Every offered item ID, looked up in slot order and then shuffled, so that the lookups do not
    // walk memory in sequence.
    std::vector<platform::WString> ids;
    std::vector<uint32_t> expectedSlots;
    for (uint32_t slot = 0; slot < slots; ++slot) {
        if (catalogue->offersItem(slot)) {
            ids.emplace_back(catalogue->itemIdAt(slot));
            expectedSlots.push_back(slot);
        }
    }
    std::vector<size_t> order(ids.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }

    auto lookUpAll = [&] {
        for (size_t i : order) {
            const movra::ItemRecord* record = nullptr;
            if (catalogue->FindItem(ids[i].c_str(), &record) != S_OK ||
                catalogue->slotOf(record) != expectedSlots[i]) {
                ++failures;
            }
        }
    };
    const Timing lookupInOrder = bestOf(rounds, lookUpAll);
    std::shuffle(order.begin(), order.end(), std::mt19937(12345));
    const Timing lookup = bestOf(rounds, lookUpAll);

    // The same number of lookups of IDs that do not exist (lower-case section letter).
    std::vector<platform::WString> unknown = ids;
    for (platform::WString& text : unknown) {
        text[8] = static_cast<WCHAR>(text[8] + ('a' - 'A'));
    }
    const Timing miss = bestOf(rounds, [&] {
        for (size_t i : order) {
            if (catalogue->ValidateItemID(unknown[i].c_str()) != OPC_E_UNKNOWNITEMID) {
                ++failures;
            }
        }
    });

    // The linear search of the original design, on every 100th ID, scaled to all of them.
    const size_t sampleStep = 100;
    size_t sampled = 0;
    const Timing linearSample = bestOf(std::min(rounds, 3), [&] {
        sampled = 0;
        for (size_t i = 0; i < ids.size(); i += sampleStep, ++sampled) {
            const platform::WStringView wanted(ids[i]);
            uint32_t slot = 0;
            while (slot < slots && catalogue->itemIdAt(slot) != wanted) {
                ++slot;
            }
            if (slot != expectedSlots[i]) {
                ++failures;
            }
        }
    });
    const double scale = static_cast<double>(ids.size()) / sampled;
    const Timing linear{linearSample.wallMs * scale, linearSample.cpuMs * scale};

    // One regular poll cycle's publications: every slot once, in slot order.
    SYSTEMTIME now;
    GetSystemTime(&now);
    const Timing publish = bestOf(rounds, [&] {
        for (uint32_t slot = 0; slot < slots; ++slot) {
            movra::Reading reading{0x41200000u, 192, now};
            if (movra::PublishReading(reading, slot, *catalogue) != S_OK) {
                ++failures;
            }
        }
    });

    std::printf("Item catalogue, 100 KMT-U devices (best of %d rounds)\n\n", rounds);
    std::printf("  %-44s %14s %14s\n", "figure", "wall", "processor");
    printCount("slots", slots);
    printCount("items offered", items);
    printTiming("BuildCatalogue", build);
    printTiming("FindItem of every offered ID, slot order", lookupInOrder);
    printPer("  per lookup", lookupInOrder, ids.size());
    printTiming("FindItem of every offered ID, shuffled", lookup);
    printPer("  per lookup", lookup, ids.size());
    printTiming("ValidateItemID of unknown IDs, shuffled", miss);
    printTiming("linear search, same lookups (extrapolated)", linear);
    printTiming("PublishReading into every slot", publish);
    printPer("  per publication", publish, slots);
    printCount("bytes per slot record", sizeof(movra::ItemRecord));
    printCount("bytes, slots and index (computed)", catalogue->memoryBytes());
    printCount("bytes, heap growth of one build (measured)", measuredBytes);
    printCount("bytes, fixed-buffer layout (for comparison)", sizeof(FixedBufferRecord) * slots);
    printCount("bytes, peak heap of the whole run", peakBytes.load());

    if (failures != 0 || ids.size() != items) {
        std::fprintf(stderr, "%d lookups or publications went wrong\n", failures);
        return 1;
    }
    return 0;
}

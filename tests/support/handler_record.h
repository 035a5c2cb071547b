// What a test's window message handler records: how many handlers ran, how many began after the
// test's close had returned, and how deeply they were ever nested.
#pragma once

#include <atomic>

namespace testsupport {

struct HandlerRecord {
    std::atomic<int> handled{0};
    std::atomic<int> afterClose{0};
    std::atomic<int> depth{0};
    std::atomic<int> maxDepth{0};
    std::atomic<bool> closed{false}; // set by the test once its close has returned

    // At the handler's entry; returns the handler's number, from 1.
    int enter() {
        if (closed)
            ++afterClose;
        const int level = ++depth;
        int seen = maxDepth.load();
        while (level > seen && !maxDepth.compare_exchange_weak(seen, level)) {
        }
        return ++handled;
    }
    void leave() { --depth; }
};

} // namespace testsupport

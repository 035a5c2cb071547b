// One record, in time order, of what the library traced, what the gateway was asked and what
// the host saw, each stamped with the benchmark's clock as it happened.
//
// The library's trace lines are caught in this process: OutputDebugString raises an exception
// that a vectored handler sees before any debugger would, so no second process and no
// debugger's delay stand between a line and its time.
#pragma once

#include "bench_support.h"

#include <windows.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Event {
    int64_t at = 0;
    std::string text;
};

class Timeline {
  public:
    // Catches the process's debug strings from now on, for the one timeline of the program.
    void catchTraceLines() {
        instance() = this;
        AddVectoredExceptionHandler(1, &Timeline::onException);
    }

    void add(std::string text, int64_t at = now()) {
        std::lock_guard<std::mutex> guard(lock);
        events.push_back({at, std::move(text)});
    }

    std::vector<Event> take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(events, {});
    }

  private:
    // The codes of OutputDebugStringW's and OutputDebugStringA's exceptions.
    static constexpr DWORD WIDE_STRING = 0x4001000A;
    static constexpr DWORD NARROW_STRING = 0x40010006;

    static Timeline *&instance() {
        static Timeline *timeline = nullptr;
        return timeline;
    }

    static LONG CALLBACK onException(EXCEPTION_POINTERS *pointers) {
        const EXCEPTION_RECORD *record = pointers->ExceptionRecord;
        const DWORD code = record->ExceptionCode;
        if ((code != WIDE_STRING && code != NARROW_STRING) || record->NumberParameters < 2)
            return EXCEPTION_CONTINUE_SEARCH;
        // Parameter 0 is the length with the terminating zero, parameter 1 the text.
        const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
        std::string line;
        if (code == WIDE_STRING) {
            const auto *text = reinterpret_cast<const wchar_t *>(record->ExceptionInformation[1]);
            for (size_t i = 0; i + 1 < length; ++i)
                line += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
        } else {
            line.assign(reinterpret_cast<const char *>(record->ExceptionInformation[1]),
                        length > 0 ? length - 1 : 0);
        }
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        instance()->add(line);
        // Handled: the wide string is not raised once more as a narrow one.
        return EXCEPTION_CONTINUE_EXECUTION;
    }

    std::mutex lock;
    std::vector<Event> events;
};

} // namespace bench

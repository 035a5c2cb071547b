// Exchange rates of several clients of one gateway, measured in alternating rounds so that the
// noise of a shared machine falls on all of them alike, and compared round by round.
#pragma once

#include "bench_common.h"

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct RateClient {
    RateClient(std::string shortName, std::string text, std::function<bool()> fn)
        : name(std::move(shortName)), description(std::move(text)), exchange(std::move(fn)) {}
    std::string name;
    std::string description;
    std::function<bool()> exchange; // one request and its reply; false on failure

    std::vector<double> roundRates;   // exchanges per second of each round
    std::vector<double> microseconds; // each exchange's own duration
    double seconds = 0;
    unsigned done = 0;

    double rate() const { return seconds > 0 ? done / seconds : 0; }
};

// Warm-up, then rounds of perRound exchanges per client. Each round starts with the next client
// in turn, so that no client always follows the same one. False (with a message) on a failure.
inline bool runRounds(std::vector<RateClient> &clients, unsigned warmup, unsigned rounds,
                      unsigned perRound, const std::function<void()> &afterRound = {}) {
    using Clock = std::chrono::steady_clock;
    for (RateClient &client : clients)
        for (unsigned i = 0; i < warmup; ++i)
            if (!client.exchange()) {
                say("%s: warm-up exchange %u failed\n", client.name.c_str(), i);
                return false;
            }
    for (RateClient &client : clients)
        client.microseconds.reserve(static_cast<size_t>(perRound) * rounds);
    for (unsigned r = 0; r < rounds; ++r) {
        for (size_t k = 0; k < clients.size(); ++k) {
            RateClient &client = clients[(r + k) % clients.size()];
            const Clock::time_point start = Clock::now();
            Clock::time_point before = start;
            for (unsigned i = 0; i < perRound; ++i) {
                if (!client.exchange()) {
                    say("%s: exchange failed in round %u\n", client.name.c_str(), r + 1);
                    return false;
                }
                const Clock::time_point after = Clock::now();
                client.microseconds.push_back(
                    std::chrono::duration<double, std::micro>(after - before).count());
                before = after;
            }
            const double seconds = std::chrono::duration<double>(before - start).count();
            client.seconds += seconds;
            client.done += perRound;
            client.roundRates.push_back(perRound / seconds);
        }
        if (afterRound)
            afterRound();
    }
    return true;
}

// The rate of a against b in each round, which ran both under the same machine load.
inline std::vector<double> roundRatios(const RateClient &a, const RateClient &b) {
    std::vector<double> ratios;
    for (size_t r = 0; r < a.roundRates.size() && r < b.roundRates.size(); ++r)
        ratios.push_back(a.roundRates[r] / b.roundRates[r]);
    return ratios;
}

// One line per client: overall rate, median and p99 of one exchange, and the median of its
// round-by-round ratio to the reference client.
inline void printRates(std::vector<RateClient> &clients, const RateClient &reference) {
    say("  %-13s %8s %10s %10s %10s %11s\n", "client", "rate/s", "median us", "p99 us", "max us",
        "x ref (med)");
    for (RateClient &client : clients) {
        const double ratio = median(roundRatios(client, reference));
        const Percentiles p = percentiles(client.microseconds);
        say("  %-13s %8.0f %10.1f %10.1f %10.0f %11.3f  %s\n", client.name.c_str(), client.rate(),
            p.median, p.p99, p.max, ratio, client.description.c_str());
    }
}

// The library's rate over the plain client's: the median of the rounds' ratios, with their
// spread, as the target line.
inline void printRatio(const char *what, const RateClient &library, const RateClient &raw,
                       const char *label = nullptr) {
    std::vector<double> ratios = roundRatios(library, raw);
    const double middle = median(ratios);
    std::sort(ratios.begin(), ratios.end());
    say("  RATIO %s/%s: median of %zu rounds %.3f (lowest %.3f, highest %.3f; overall rates "
        "%.3f)\n",
        library.name.c_str(), raw.name.c_str(), ratios.size(), middle,
        ratios.empty() ? 0 : ratios.front(), ratios.empty() ? 0 : ratios.back(),
        raw.rate() > 0 ? library.rate() / raw.rate() : 0);
    target(what, middle, "x", ">= 0.90", middle >= 0.90, label);
}

} // namespace bench

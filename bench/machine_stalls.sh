#!/usr/bin/env bash
# How long this machine takes the processor away from a thread that does nothing but read the clock
# (an ordinary thread, so that the kernel's real-time throttling plays no part): every interval over
# 5 ms between two readings, and the worst. On a virtual machine these are the host's stalls, which
# no audio program can ride through at 2.67 ms a block; bench/live_budget.sh's xruns are to be read
# beside them. Run by hand (bash bench/machine_stalls.sh [SECONDS]); never by the tests.
set -euo pipefail
SECONDS_TO_RUN=${1:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/stalls.cpp" << 'CPP'
#include <chrono>
#include <cstdio>
#include <cstdlib>
int main(int argc, char** argv) {
    using clock = std::chrono::steady_clock;
    const std::chrono::duration<double> run(std::atof(argv[1]));
    const auto start = clock::now();
    auto last = start;
    double worst = 0.0;
    int over_2 = 0, over_5 = 0;
    for (auto now = start; now - start < run; now = clock::now()) {
        const double gap = std::chrono::duration<double, std::milli>(now - last).count();
        over_2 += gap > 2.0;
        if (gap > 5.0) {
            ++over_5;
            std::printf("at %6.2f s: %.1f ms without the processor\n", std::chrono::duration<double>(now - start).count(), gap);
        }
        if (gap > worst) worst = gap;
        last = now;
    }
    std::printf("worst %.1f ms; %d intervals over 2 ms, %d over 5 ms in %.0f s\n", worst, over_2, over_5, run.count());
}
CPP
g++ -O2 -o "$work/stalls" "$work/stalls.cpp"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
"$work/stalls" "$SECONDS_TO_RUN"

# The block figures of a headless run's meter lines ("varnomix --nogui"), in one line: the longest
# block (and the slot that weighed most in it), the median of each second's longest, and the longest
# wait between two blocks. A block longer than the period means the engine was late; a gap of two
# periods or more with short blocks means the audio thread woke late, which the engine cannot help.
# Usage: awk -v period=MS [-v from=SECOND] -f scripts/block_times.awk ENGINE.LOG
/ s  CPU .*longest block/ {
    if ($1 + 0 < from + 0) next
    for (i = 1; i <= NF; i++) {
        if ($i == "block") { b = $(i + 1) + 0; slot = $(i + 4) + 0 }
        if ($i == "gap") g = $(i + 1) + 0
    }
    n++
    blocks[n] = b
    if (b > max_block) { max_block = b; max_slot = slot }
    if (g > max_gap) max_gap = g
    if (b > period) over_period++
    if (g >= 2 * period) long_gaps++
}
END {
    if (!n) { print "block times: no meter lines with block figures"; exit }
    # Median by insertion sort: a run has at most a few thousand seconds.
    for (i = 2; i <= n; i++) { v = blocks[i]; for (j = i - 1; j > 0 && blocks[j] > v; j--) blocks[j + 1] = blocks[j]; blocks[j + 1] = v }
    median = n % 2 ? blocks[(n + 1) / 2] : (blocks[n / 2] + blocks[n / 2 + 1]) / 2
    printf "longest block %.3f ms (heaviest slot in it: %d), median of each second's longest %.3f ms, %d of %d s" \
           " with a block over the %.2f ms period; longest gap between blocks %.1f ms, %d s with a gap of two periods" \
           " or more\n", max_block, max_slot, median, over_period + 0, n, period, max_gap, long_gaps + 0
}

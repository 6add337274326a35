#include "render_stream.h"

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <semaphore>
#include <system_error>
#include <thread>
#include <vector>

namespace vx {

namespace {

// Pieces on their way from the reading thread to the writing one: enough for each thread to have
// one in hand and one waiting.
constexpr int kRing = 3;
// The first pieces run on the reading thread alone, timed; the first of them warms the caches and
// touches the effects' memories, so only the others count.
constexpr int kTimedPieces = 3;

struct Piece {
    std::vector<float> data;
    int64_t frames = 0;  // 0: the stream ends here
    int32_t split = kTableCapacity;  // the writing thread runs the entries from here on
};

class Stream {
public:
    Stream(AudioReader& in, AudioWriter& out, const StreamSettings& s)
        : in_(in), out_(out), s_(s), widen_(s.channels == 2 && in.channels() == 1),
          piece_(s.block * std::max(1, 16384 / s.block)) {
        if (widen_) raw_.resize(static_cast<size_t>(piece_));
    }

    StreamResult one_thread() {
        Piece p;
        p.data.resize(static_cast<size_t>(piece_ * s_.channels));
        std::vector<float> block(kBlockFloats);
        for (;;) {
            if (!fill(p)) return {in_.error()};
            if (p.frames == 0) break;
            walk(p, 0, kTableCapacity, block.data(), nullptr);
            if (!emit(p)) return {write_error()};
            if (p.frames < piece_) break;
        }
        return {};
    }

    StreamResult two_threads() {
        for (Piece& p : ring_) p.data.resize(static_cast<size_t>(piece_ * s_.channels));
        const bool timing = s_.split < 0;
        int32_t split = timing ? kTableCapacity : std::min(s_.split, kTableCapacity);
        std::thread writer;
        try {
            writer = std::thread([this] { write_pieces(); });
        } catch (const std::system_error&) {
            return one_thread();  // no thread to be had: the same file, on this one
        }
        std::vector<float> block(kBlockFloats);
        std::array<int64_t, kTableCapacity> entry_ns{};
        int64_t read_ns = 0;
        bool read_failed = false, ended = false;
        int64_t read_piece = 0;
        for (int64_t n = 0;; ++n) {
            free_.acquire();
            Piece& p = ring_[static_cast<size_t>(n % kRing)];
            p.frames = 0;
            // After a write failed, the pieces still to come would only be thrown away.
            if (ended || write_failed_.load(std::memory_order_acquire)) {
                filled_.release();
                break;
            }
            const bool timed = timing && n > 0 && n < kTimedPieces;
            const int64_t start = runner_clock_ns();
            if (!fill(p)) {
                read_failed = true;
                read_piece = n;
                p.frames = 0;
                filled_.release();
                break;
            }
            if (p.frames == 0) {
                filled_.release();
                break;
            }
            if (timed) read_ns += runner_clock_ns() - start;
            // Until the split is chosen, every entry runs here: an entry only ever moves from this
            // thread to the other, never back over a piece the writer may still be working on.
            p.split = split;
            WalkTimes times;
            times.entry_ns = entry_ns.data();
            walk(p, 0, p.split, block.data(), timed ? &times : nullptr);
            ended = p.frames < piece_;
            filled_.release();
            if (timing && n + 1 == kTimedPieces && !ended) {
                // The writing thread's share is known once it has written the timed pieces.
                for (int64_t seen = written_.load(std::memory_order_acquire); seen < kTimedPieces;
                     seen = written_.load(std::memory_order_acquire))
                    written_.wait(seen, std::memory_order_acquire);
                split = balanced_split(entry_ns.data(), read_ns, write_ns_);
            }
        }
        writer.join();
        StreamResult r;
        r.split = split;
        // As one thread would have met them: a write of an earlier piece before the failed read.
        if (write_failed_ && (!read_failed || write_piece_ < read_piece))
            r.error = write_error();
        else if (read_failed)
            r.error = in_.error();
        return r;
    }

private:
    static constexpr size_t kBlockFloats = 512 * 2;

    // Reads the next piece; a mono file is doubled for a stereo chain. False on a read error.
    bool fill(Piece& p) {
        float* to = widen_ ? raw_.data() : p.data.data();
        const int64_t got = in_.read(to, piece_);
        if (got < 0) return false;
        p.frames = got;
        if (widen_)
            for (int64_t f = 0; f < got; ++f)
                p.data[static_cast<size_t>(2 * f)] = p.data[static_cast<size_t>(2 * f + 1)] = raw_[static_cast<size_t>(f)];
        return true;
    }

    // Every block of the piece through entries first..end-1. Each block goes through a buffer of its
    // own, as a capture driver hands one over.
    void walk(Piece& p, int32_t first, int32_t end, float* block, WalkTimes* times) const {
        if (first >= end) return;
        const int32_t ch = s_.channels;
        for (int64_t b = 0; b < p.frames; b += s_.block) {
            const auto n = static_cast<int32_t>(std::min<int64_t>(s_.block, p.frames - b));
            float* at = p.data.data() + b * ch;
            std::copy(at, at + n * ch, block);
            const int64_t start = times != nullptr ? runner_clock_ns() : 0;
            walk_entries(first, end, n, in_.sample_rate(), ch, block, start, times);
            std::copy(block, block + n * ch, at);
        }
    }

    bool emit(const Piece& p) {
        if (!out_.write(p.data.data(), p.frames)) return false;
        done_ += p.frames;
        if (s_.progress) s_.progress(done_);
        return true;
    }

    std::string write_error() const { return "cannot write \"" + s_.output_name + "\": write failed"; }

    // The writing thread: the rest of the rack over each piece, in order, then the piece written.
    // It takes every piece up to the end mark, also after a failed write, so that the reading
    // thread never waits for a room that does not come.
    void write_pieces() {
        std::vector<float> block(kBlockFloats);
        for (int64_t n = 0;; ++n) {
            filled_.acquire();
            Piece& p = ring_[static_cast<size_t>(n % kRing)];
            if (p.frames == 0) {
                free_.release();
                break;
            }
            if (!write_failed_.load(std::memory_order_relaxed)) {
                walk(p, p.split, kTableCapacity, block.data(), nullptr);
                const int64_t start = runner_clock_ns();
                if (!emit(p)) {
                    write_piece_ = n;
                    write_failed_.store(true, std::memory_order_release);
                }
                if (n > 0 && n < kTimedPieces) write_ns_ += runner_clock_ns() - start;
            }
            written_.fetch_add(1, std::memory_order_release);
            written_.notify_one();
            free_.release();
        }
    }

    AudioReader& in_;
    AudioWriter& out_;
    const StreamSettings& s_;
    const bool widen_;
    const int64_t piece_;
    std::vector<float> raw_;
    int64_t done_ = 0;  // frames written

    std::array<Piece, kRing> ring_;
    std::counting_semaphore<kRing> free_{kRing};
    std::counting_semaphore<kRing> filled_{0};
    std::atomic<bool> write_failed_{false};
    int64_t write_piece_ = 0;  // read by the reading thread only after the join
    // Pieces the writing thread has finished with, and what writing the timed ones took (read after
    // `written_` counts them).
    std::atomic<int64_t> written_{0};
    int64_t write_ns_ = 0;
};

}  // namespace

StreamResult render_stream(AudioReader& in, AudioWriter& out, const StreamSettings& settings) {
    Stream stream(in, out, settings);
    return settings.threads >= 2 ? stream.two_threads() : stream.one_thread();
}

int32_t balanced_split(const int64_t* entry_ns, int64_t read_ns, int64_t write_ns) {
    int64_t second = write_ns;
    for (int i = 0; i < kTableCapacity; ++i) second += entry_ns[i];
    int64_t first = read_ns, best = std::max(first, second);
    int32_t split = 0;
    for (int32_t k = 1; k <= kTableCapacity; ++k) {
        first += entry_ns[k - 1];
        second -= entry_ns[k - 1];
        if (std::max(first, second) < best) {
            best = std::max(first, second);
            split = k;
        }
    }
    return split;
}

int32_t default_render_threads(const ChainTable& table) {
    int working = 0;
    for (int i = 0; i < std::min(table.count, kTableCapacity); ++i)
        if (table.enabled[i] == 1 && kind_available(table.kind[i])) ++working;
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    const int processors = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 1;
    return processors >= 2 && working >= 2 ? 2 : 1;
}

}  // namespace vx

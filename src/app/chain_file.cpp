#include "chain_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace vx {

namespace {

void put16(uint8_t* p, int16_t v) {
    const auto u = static_cast<uint16_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
}
void put32(uint8_t* p, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}
int16_t get16(const uint8_t* p) { return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))); }
int32_t get32(const uint8_t* p) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    return static_cast<int32_t>(u);
}

}  // namespace

bool read_chain_file(const std::string& path, ChainFile& rec, std::string* why) {
    auto fail = [why](std::string reason) {
        if (why != nullptr) *why = std::move(reason);
        return false;
    };
    // Not blocking, and looked at before any read: a FIFO or a device would hold the loader forever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    std::vector<uint8_t> b(kChainFileSize);
    size_t got = 0;
    while (got < b.size()) {
        const ssize_t n = ::read(fd, b.data() + got, b.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got != b.size())
        return fail(std::to_string(got) + " bytes, shorter than the " + std::to_string(kChainFileSize) +
                    " of a chain file");
    rec.reserved = get16(&b[0]);
    rec.version = get16(&b[kChainVersionOffset]);
    for (int i = 0; i < 32; ++i) {
        rec.kind[i] = get32(&b[static_cast<size_t>(kChainKindOffset + 4 * i)]);
        rec.onoff[i] = get32(&b[static_cast<size_t>(kChainOnOffOffset + 4 * i)]);
        for (int w = 0; w < kParameterWords; ++w)
            rec.blocks[i][w] = get32(&b[static_cast<size_t>(kChainBlocksOffset + 404 * i + 4 * w)]);
    }
    return true;
}

std::string write_chain_file(const std::string& path, const ChainFile& rec) {
    std::vector<uint8_t> b(kChainFileSize);
    put16(&b[0], rec.reserved);
    put16(&b[kChainVersionOffset], rec.version);
    for (int i = 0; i < 32; ++i) {
        put32(&b[static_cast<size_t>(kChainKindOffset + 4 * i)], rec.kind[i]);
        put32(&b[static_cast<size_t>(kChainOnOffOffset + 4 * i)], rec.onoff[i]);
        for (int w = 0; w < kParameterWords; ++w)
            put32(&b[static_cast<size_t>(kChainBlocksOffset + 404 * i + 4 * w)], rec.blocks[i][w]);
    }
    const std::string tmp = path + ".part-" + std::to_string(::getpid());
    FILE* f = std::fopen(tmp.c_str(), "wb");
    if (f == nullptr) return std::strerror(errno);
    const bool written = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    const bool closed = std::fclose(f) == 0;
    if (!written || !flushed || !closed) {
        const std::string why = errno ? std::strerror(errno) : "write failed";
        std::remove(tmp.c_str());
        return why;
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        std::remove(tmp.c_str());
        return why;
    }
    return "";
}

int32_t map_old_kind(int32_t stored) {
    static constexpr int32_t kMap[14] = {0, 13, 4, 3, 6, 7, 9, 2, 11, 8, 5, 12, 10, 1};
    return stored >= 0 && stored < 14 ? kMap[stored] : stored;
}

std::string with_pre_suffix(const std::string& path) {
    const auto at = path.find(".pre");
    if (at != std::string::npos && at + 4 == path.size()) return path;
    return path + ".pre";
}

std::string fkey_prefix(int n) {
    if (n == 1) return "F1 ";
    if (n < 2 || n > 12) return "";
    std::string prefix(1, 'F');  // appended, not "F" + ...: GCC 12 warns falsely about that form
    return prefix.append(std::to_string(n));
}

std::string cut_path(const std::string& path) { return path.size() > 255 ? path.substr(0, 255) : path; }

std::vector<std::pair<int, int32_t>> unknown_kinds(const ChainFile& rec) {
    std::vector<std::pair<int, int32_t>> found;
    for (int i = 0; i < 16; ++i) {
        const int32_t k = rec.version < kChainFileVersion ? map_old_kind(rec.kind[i]) : rec.kind[i];
        if (k < 0 || k >= kKindCount) found.emplace_back(i + 1, rec.kind[i]);
    }
    return found;
}

EffectKind rack_kind(int32_t stored) { return stored >= 0 && stored < kKindCount ? stored : 0; }

void fill_chain_record(ChainFile& rec, const ChainTable& rack) {
    ParameterBlock scratch{};
    const int32_t n = std::clamp(rack.count, 0, static_cast<int32_t>(kTableCapacity));
    for (int32_t i = 0; i < n; ++i) {
        rec.kind[i] = rack.kind[i];
        rec.onoff[i] = rack.enabled[i];
        if (rack.params[i] != nullptr) rack.params[i](scratch.data(), rack.instance[i], 0);
        std::copy_n(scratch.begin(), kStoredParameterWords, rec.blocks[i]);
    }
    rec.version = kChainFileVersion;
}

std::array<EffectInstance, 16> apply_chain_record(ChainFile& rec, ChainTable& rack,
                                                   const ChainSlotPreparer& prepare_slot) {
    if (rec.version < kChainFileVersion)
        for (int i = 0; i < 16; ++i) rec.kind[i] = map_old_kind(rec.kind[i]);
    // The new rack is built and set beside the one playing; building 16 slots takes many blocks.
    auto next = std::make_unique<ChainTable>(rack);
    for (int32_t i = 0; i < 16; ++i) {
        set_table_entry(*next, i, prepare_slot(i, rack_kind(rec.kind[i])));
        next->enabled[i] = rec.onoff[i] != 0 ? 1 : 0;
    }
    ParameterBlock scratch{};
    const int32_t n = std::clamp(next->count, 0, static_cast<int32_t>(kTableCapacity));
    for (int32_t i = 0; i < n; ++i) {
        std::copy_n(rec.blocks[i], kStoredParameterWords, scratch.begin());
        if (next->params[i] != nullptr) next->params[i](scratch.data(), next->instance[i], 1);
    }
    // Closed only for the exchange, so that no block walks half of each table.
    load_gate = 0;
    wait_for_walk();
    load_chain(*next);
    load_gate = 1;
    std::array<EffectInstance, 16> old{};
    for (int32_t i = 0; i < 16; ++i) old[static_cast<size_t>(i)] = rack.instance[i];
    rack = *next;
    return old;
}

}  // namespace vx

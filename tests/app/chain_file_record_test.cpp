#include "app/chain_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace vx {
namespace {

std::vector<uint8_t> slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ChainFileRecord, GoldenBytes) {
    const fs::path p = fs::temp_directory_path() / ("vx-golden-" + std::to_string(::getpid()) + ".pre");
    // Built byte by byte: version 303, slot 0 Gain on, slot 15 Delay off, one float word, slot 31's last word.
    std::vector<uint8_t> bytes(13188, 0);
    bytes[0] = 0x34; bytes[1] = 0x12;          // reserved
    bytes[2] = 303 & 0xFF; bytes[3] = 303 >> 8;  // version
    bytes[4] = 13;                              // kind[0]
    bytes[4 + 4 * 15] = 8;                      // kind[15]
    bytes[132] = 1;                             // onoff[0]
    const uint32_t one = 0x3F800000u;            // 1.0f in block 0, word 0
    for (int i = 0; i < 4; ++i) bytes[260 + i] = static_cast<uint8_t>(one >> (8 * i));
    bytes[260 + 404 * 1 + 4 * 3] = 0x7D; bytes[260 + 404 * 1 + 4 * 3 + 1] = 0xC9; bytes[260 + 404 * 1 + 4 * 3 + 2] = 0x01;  // 117117
    bytes[13187] = 0x80;                        // top byte of block 31, word 100
    { std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 13188); }

    ChainFile rec;
    ASSERT_TRUE(read_chain_file(p.string(), rec));
    EXPECT_EQ(rec.reserved, 0x1234);
    EXPECT_EQ(rec.version, 303);
    EXPECT_EQ(rec.kind[0], 13);
    EXPECT_EQ(rec.kind[15], 8);
    EXPECT_EQ(rec.onoff[0], 1);
    EXPECT_EQ(rec.onoff[15], 0);
    EXPECT_EQ(rec.blocks[0][0], static_cast<int32_t>(one));
    EXPECT_EQ(rec.blocks[1][3], 117117);
    EXPECT_EQ(rec.blocks[31][100], static_cast<int32_t>(0x80000000u));

    // Written back byte for byte.
    ASSERT_EQ(write_chain_file(p.string(), rec), "");
    EXPECT_EQ(slurp(p), bytes);

    // A short file is not read, and the record stays as it was.
    { std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 13187); }
    ChainFile untouched;
    untouched.version = 7;
    EXPECT_FALSE(read_chain_file(p.string(), untouched));
    EXPECT_EQ(untouched.version, 7);
    EXPECT_FALSE(read_chain_file((p.string() + ".missing"), untouched));
    fs::remove(p);
}

TEST(ChainFileRecord, FailedWriteLeavesNothing) {
    const fs::path dir = fs::temp_directory_path() / ("vx-ro-" + std::to_string(::getpid()));
    EXPECT_NE(write_chain_file((dir / "x.pre").string(), ChainFile{}), "");
    EXPECT_FALSE(fs::exists(dir / "x.pre"));
}

TEST(ChainFileRecord, NamesAndKinds) {
    struct Suffix { const char* given; const char* saved; };
    for (const Suffix s : {Suffix{"live", "live.pre"}, Suffix{"A.PRE", "A.PRE.pre"}, Suffix{"my.preset.pre", "my.preset.pre.pre"},
                           Suffix{"x.pre", "x.pre"}, Suffix{"/p/.pre", "/p/.pre"}})
        EXPECT_EQ(with_pre_suffix(s.given), s.saved) << s.given;
    EXPECT_EQ(fkey_prefix(1), "F1 ");
    EXPECT_EQ(fkey_prefix(9), "F9");
    EXPECT_EQ(fkey_prefix(10), "F10");
    EXPECT_EQ(fkey_prefix(12), "F12");
    EXPECT_EQ(fkey_prefix(0), "");
    EXPECT_EQ(fkey_prefix(13), "");
    const int32_t expected[14] = {0, 13, 4, 3, 6, 7, 9, 2, 11, 8, 5, 12, 10, 1};
    for (int k = 0; k < 14; ++k) EXPECT_EQ(map_old_kind(k), expected[k]) << k;
    for (int k : {-1, 14, 99}) EXPECT_EQ(map_old_kind(k), k);
    EXPECT_EQ(cut_path(std::string(300, 'a')).size(), 255u);
}

}  // namespace
}  // namespace vx

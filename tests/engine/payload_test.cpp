#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "payload.h"
#include "payload_layout.h"
#include "product.h"
#include "system_api.h"

namespace {

const std::string damaged = "This installer is damaged. Download it again from vantrel.app.";

std::string lzms(const std::string& input) {
    const compression_api& api = compression();
    void* handle = nullptr;
    EXPECT_TRUE(api.create_compressor && api.create_compressor(compress_algorithm_lzms, nullptr, &handle));
    SIZE_T needed = 0;
    api.compress(handle, input.data(), input.size(), nullptr, 0, &needed);
    std::string out(needed, '\0');
    EXPECT_TRUE(api.compress(handle, input.data(), input.size(), out.data(), out.size(), &needed));
    out.resize(needed);
    api.close_compressor(handle);
    return out;
}

std::string digest_of(const std::string& bytes) {
    unsigned char d[32];
    EXPECT_TRUE(sha256(bytes.data(), bytes.size(), d));
    return std::string(reinterpret_cast<char*>(d), 32);
}

void put_le(std::string& out, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

// One entry as the packing step writes it, with every field open to tampering.
struct entry {
    std::string name;
    std::string content;
    std::string packed;  // filled from content unless set
    std::uint64_t size = UINT64_MAX;
    std::uint64_t packed_size = UINT64_MAX;
    std::string digest;
};

entry file(std::string name, std::string content) {
    entry e;
    e.name = std::move(name);
    e.content = std::move(content);
    return e;
}

std::string container(std::vector<entry> entries, std::uint32_t count = UINT32_MAX, std::uint32_t version = 1) {
    std::string out = "VPAK";
    put_le(out, version, 4);
    put_le(out, count == UINT32_MAX ? entries.size() : count, 4);
    for (auto& e : entries) {
        if (e.packed.empty() && !e.content.empty()) e.packed = lzms(e.content);
        put_le(out, e.name.size(), 2);
        out += e.name;
        put_le(out, e.size == UINT64_MAX ? e.content.size() : e.size, 8);
        put_le(out, e.packed_size == UINT64_MAX ? e.packed.size() : e.packed_size, 8);
        out += e.digest.empty() ? digest_of(e.content) : e.digest;
        out += e.packed;
    }
    return out;
}

std::vector<entry> product_entries() {
    return {file("VantrelCompanion.exe", std::string(5000, 'M') + "Z"), file("Vantrel.py", "print('hi')\n"),
            file("SETUP.md", "# Guide\r\n")};
}

struct PayloadCheck : ::testing::Test {
    void SetUp() override { payload_files.clear(); }
    void TearDown() override { payload_files.clear(); }

    bool check(const std::string& bytes) {
        error = "untouched";
        return check_payload(bytes, error);
    }
    void expect_fails(const std::string& bytes, const char* why) {
        SCOPED_TRACE(why);
        EXPECT_FALSE(check(bytes));
        EXPECT_EQ(error, damaged);
        EXPECT_TRUE(payload_files.empty());
    }
    std::string error;
};

std::string read_source_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST_F(PayloadCheck, WellFormedContainerFillsTheMapInNameOrderAndLeavesErrorAlone) {
    ASSERT_TRUE(check(container(product_entries())));
    EXPECT_EQ(error, "untouched");
    ASSERT_EQ(payload_files.size(), 3u);
    EXPECT_EQ(std::string(payload_files["Vantrel.py"].begin(), payload_files["Vantrel.py"].end()), "print('hi')\n");
    EXPECT_EQ(payload_files["VantrelCompanion.exe"].size(), 5001u);
}

TEST_F(PayloadCheck, HeaderRules) {
    const std::string good = container(product_entries());
    expect_fails(good.substr(0, 11), "11 bytes");
    expect_fails("", "empty resource");
    std::string magic = good;
    magic[3] = 'X';
    expect_fails(magic, "magic");
    expect_fails(container(product_entries(), UINT32_MAX, 2), "version 2");
    expect_fails(container({}, 0), "count 0");

    // 64 well-formed entries pass the header test; 65 do not.
    auto many = product_entries();
    while (many.size() < 64) many.push_back(file("extra" + std::to_string(many.size()), "x"));
    EXPECT_TRUE(check(container(many)));
    payload_files.clear();
    many.push_back(file("extra64", "x"));
    expect_fails(container(many), "count 65");
}

TEST_F(PayloadCheck, NameRulesApplyToEveryEntryEvenUnrequestedOnes) {
    auto with = [](entry extra) {
        auto e = product_entries();
        e.push_back(std::move(extra));
        return container(e);
    };
    EXPECT_TRUE(check(with(file(std::string(200, 'n'), "x"))));
    payload_files.clear();
    expect_fails(with(file(std::string(201, 'n'), "x")), "name of 201");
    expect_fails(with(file("", "x")), "name of 0");
    expect_fails(with(file("a/b", "x")), "slash");
    expect_fails(with(file("a\\b", "x")), "backslash");
    expect_fails(with(file("C:b", "x")), "colon");
    expect_fails(with(file("caf\xc3\xa9", "x")), "byte above 127");
    EXPECT_TRUE(check(with(file("Az09 -._", "x"))));
}

TEST_F(PayloadCheck, SizeLimitAndExactEnd) {
    // An entry nobody asks for is never unpacked, so its size field alone decides the limit.
    auto with_size = [](std::uint64_t size) {
        auto e = product_entries();
        entry big = file("big", "x");
        big.size = size;
        e.push_back(big);
        return container(e);
    };
    EXPECT_TRUE(check(with_size(536870912)));
    payload_files.clear();
    expect_fails(with_size(536870913), "over 512 MiB");

    const std::string good = container(product_entries());
    expect_fails(good + '\0', "one byte too many");
    expect_fails(good.substr(0, good.size() - 1), "last stream one byte short");
    auto e = product_entries();
    e[2].packed = lzms(e[2].content);
    e[2].packed_size = e[2].packed.size() + 1;
    expect_fails(container(e), "packed size past the end");
}

TEST_F(PayloadCheck, RequiredNamesDuplicatesAndDigests) {
    // The last occurrence of a required name wins.
    auto dup = product_entries();
    dup.insert(dup.begin(), file("SETUP.md", "first"));
    dup.push_back(file("SETUP.md", "last"));
    ASSERT_TRUE(check(container(dup)));
    EXPECT_EQ(std::string(payload_files["SETUP.md"].begin(), payload_files["SETUP.md"].end()), "last");
    payload_files.clear();

    auto missing = product_entries();
    missing.pop_back();
    expect_fails(container(missing), "SETUP.md missing");
    auto wrong_case = product_entries();
    wrong_case[1].name = "vantrel.py";
    expect_fails(container(wrong_case), "name in other case");

    // A bad digest on the last name empties the map of the names already stored.
    auto bad = product_entries();
    bad[2].digest = std::string(32, '\x01');
    expect_fails(container(bad), "wrong digest");

    auto corrupt = product_entries();
    corrupt[0].packed = lzms(corrupt[0].content);
    corrupt[0].packed[corrupt[0].packed.size() / 2] ^= 0x55;
    expect_fails(container(corrupt), "damaged stream");

    auto short_size = product_entries();
    short_size[1].size = short_size[1].content.size() - 1;
    expect_fails(container(short_size), "size smaller than the stream holds");
}

TEST_F(PayloadCheck, EmptyEntryIsNotDecompressedButItsDigestCounts) {
    auto e = product_entries();
    e[2] = file("SETUP.md", "");
    e[2].packed = "";  // nothing at all: a decompressor would have nothing to read
    ASSERT_TRUE(check(container(e)));
    EXPECT_TRUE(payload_files["SETUP.md"].empty());
    payload_files.clear();
    e[2].digest = std::string(32, '\0');
    expect_fails(container(e), "empty entry with a wrong digest");
}

TEST_F(PayloadCheck, LoadPayloadReadsTheResourceOnlyUntilItSucceeds) {
    // Something already in the map: no new read, true at once.
    payload_files["marker"] = {1};
    std::string error = "untouched";
    EXPECT_TRUE(load_payload(error));
    EXPECT_EQ(payload_files.size(), 1u);
    payload_files.clear();

    // After a failure the next call checks everything again, here from the resource.
    EXPECT_FALSE(check("VPAK"));
    error.clear();
    ASSERT_TRUE(load_payload(error)) << error;
    EXPECT_TRUE(error.empty());
    EXPECT_EQ(payload_files.size(), 3u);
}

TEST(EmbeddedPayload, HoldsTheThreeProductFilesAsBuilt) {
    payload_files.clear();
    std::string error;
    ASSERT_TRUE(load_payload(error)) << error;
    const auto& guide = payload_files.at("SETUP.md");
    EXPECT_EQ(std::string(guide.begin(), guide.end()), read_source_file(VANTREL_SOURCE_SETUP_MD));
    const auto& script = payload_files.at("Vantrel.py");
    EXPECT_EQ(std::string(script.begin(), script.end()), read_source_file(VANTREL_SOURCE_SCRIPT));
    const auto& exe = payload_files.at("VantrelCompanion.exe");
    ASSERT_GT(exe.size(), 1024u);
    EXPECT_EQ(exe[0], 'M');
    EXPECT_EQ(exe[1], 'Z');
    payload_files.clear();
}

TEST(LoadRcdata, MissingIdIsEmpty) {
    EXPECT_TRUE(load_rcdata(4242).empty());
    EXPECT_FALSE(load_rcdata(payload_resource_id).empty());
}

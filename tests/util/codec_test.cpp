// The one encoding of what crosses a boundary: each type written and read
// back, the bytes it takes on the wire whatever the host, and the cursor's
// refusals (input that ends inside a field, bytes left after the last one,
// the first refusal named).
#include "util/codec.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using namespace tollmar::util;
using bytes = std::vector<unsigned char>;

// One field of each type: how to write it, the bytes expected, and how to
// read it back and compare.
struct field_case {
    const char* name;
    void (*put)(writer&);
    bytes wire;
    bool (*get_matches)(cursor&);
};

const field_case fields[] = {
    {"u16",
     [](writer& w) { put_u16(w, 0x0102); },
     {0x02, 0x01},
     [](cursor& c) { return get_u16(c) == 0x0102; }},
    {"u32",
     [](writer& w) { put_u32(w, 0x01020304u); },
     {0x04, 0x03, 0x02, 0x01},
     [](cursor& c) { return get_u32(c) == 0x01020304u; }},
    {"u32 all ones",
     [](writer& w) { put_u32(w, 0xffffffffu); },
     {0xff, 0xff, 0xff, 0xff},
     [](cursor& c) { return get_u32(c) == 0xffffffffu; }},
    {"u64",
     [](writer& w) { put_u64(w, 0x0102030405060708ull); },
     {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01},
     [](cursor& c) { return get_u64(c) == 0x0102030405060708ull; }},
    {"i32 negative",
     [](writer& w) { put_i32(w, -2); },
     {0xfe, 0xff, 0xff, 0xff},
     [](cursor& c) { return get_i32(c) == -2; }},
    {"i64 least",
     [](writer& w) { put_i64(w, std::numeric_limits<std::int64_t>::min()); },
     {0, 0, 0, 0, 0, 0, 0, 0x80},
     [](cursor& c) { return get_i64(c) == std::numeric_limits<std::int64_t>::min(); }},
    {"i64 -1", [](writer& w) { put_i64(w, -1); }, bytes(8, 0xff),
     [](cursor& c) { return get_i64(c) == -1; }},
    {"bytes",
     [](writer& w) { put_bytes(w, "abc", 3); },
     {'a', 'b', 'c'},
     [](cursor& c) {
         const unsigned char* p = get_bytes(c, 3);
         return p != nullptr && std::string(reinterpret_cast<const char*>(p), 3) == "abc";
     }},
    {"no bytes",
     [](writer& w) { put_bytes(w, nullptr, 0); },
     {},
     [](cursor& c) { return get_bytes(c, 0) != nullptr; }},
};

TEST(Codec, EachTypeHasItsBytesAndReadsBack) {
    for (const field_case& f : fields) {
        SCOPED_TRACE(f.name);
        unsigned char buffer[16];
        writer w = write_into(buffer, sizeof buffer);
        f.put(w);
        ASSERT_FALSE(w.overflowed);
        EXPECT_EQ(bytes(buffer, buffer + written(w)), f.wire);

        cursor c = read_from(f.wire.data(), f.wire.size());
        EXPECT_TRUE(f.get_matches(c));
        const char* why = nullptr;
        EXPECT_TRUE(get_end(c, &why)) << why;

        // One byte short: the getter refuses and yields nothing usable.
        if (!f.wire.empty()) {
            cursor short_input = read_from(f.wire.data(), f.wire.size() - 1);
            f.get_matches(short_input);
            EXPECT_FALSE(get_end(short_input, &why));
            EXPECT_STREQ(why, refusal_cut_short);
        }
        // One byte over: the field reads, the end refuses the leftover.
        bytes longer = f.wire;
        longer.push_back(0);
        cursor long_input = read_from(longer.data(), longer.size());
        EXPECT_TRUE(f.get_matches(long_input));
        why = nullptr;
        EXPECT_FALSE(get_end(long_input, &why));
        EXPECT_STREQ(why, refusal_leftover);

        // A buffer one byte too small takes nothing of the field.
        if (!f.wire.empty()) {
            writer small = write_into(buffer, f.wire.size() - 1);
            f.put(small);
            EXPECT_TRUE(small.overflowed);
            EXPECT_EQ(written(small), 0u);
        }
    }
}

TEST(Codec, TheFirstRefusalIsNamedAndLaterGettersYieldZero) {
    const bytes input = {1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0};
    struct refusal_case {
        const char* name;
        std::size_t length;       // of the input the cursor sees
        bool refuse_after_first;  // after the second field
        const char* expected;     // nullptr: accepted
        std::uint32_t second;     // what the second getter yields
    };
    const refusal_case cases[] = {
        {"whole", 12, false, nullptr, 2},
        {"refused by the caller", 12, true, "caller's reason", 2},
        {"ends in the second field", 6, false, refusal_cut_short, 0},
        {"ends in the second field, then refused", 6, true, refusal_cut_short, 0},
        {"ends after the first field", 4, false, refusal_cut_short, 0},
        {"nothing at all", 0, false, refusal_cut_short, 0},
    };
    for (const refusal_case& r : cases) {
        SCOPED_TRACE(r.name);
        cursor c = read_from(input.data(), r.length);
        const std::uint32_t first = get_u32(c);
        EXPECT_EQ(first, r.length >= 4 ? 1u : 0u);
        const std::uint32_t second = get_u32(c);
        if (r.refuse_after_first) refuse(c, "caller's reason");
        const std::uint32_t third = get_u32(c);
        EXPECT_EQ(second, r.second);
        EXPECT_EQ(third, r.expected == nullptr ? 3u : 0u);
        EXPECT_EQ(get_bytes(c, 0) == nullptr, r.expected != nullptr);
        const char* why = nullptr;
        EXPECT_EQ(get_end(c, &why), r.expected == nullptr);
        EXPECT_STREQ(why, r.expected);
    }
}

TEST(Codec, ExpectedBytesAreTakenAndComparedAndShortInputRefused) {
    const bytes input = {'T', 'A', 'G', 1};
    struct tag_case {
        const char* expected;
        std::size_t length;  // of the input the cursor sees
        bool matches;
        const char* refusal;  // at the end
    };
    const tag_case cases[] = {
        {"TAG", 4, true, refusal_leftover},
        {"TAG", 3, true, nullptr},
        {"TAX", 3, false, nullptr},
        {"TAG", 2, false, refusal_cut_short},
    };
    for (const tag_case& t : cases) {
        SCOPED_TRACE(std::string(t.expected) + " in " + std::to_string(t.length));
        cursor c = read_from(input.data(), t.length);
        EXPECT_EQ(get_expected(c, t.expected, 3), t.matches);
        const char* why = nullptr;
        EXPECT_EQ(get_end(c, &why), t.refusal == nullptr);
        EXPECT_STREQ(why, t.refusal);
    }
}

TEST(Codec, WriterStopsAtTheFirstFieldThatDoesNotFit) {
    unsigned char buffer[6];
    writer w = write_into(buffer, sizeof buffer);
    put_u32(w, 7);
    put_u32(w, 8);  // does not fit
    put_u16(w, 9);  // would fit, but nothing after an overflow is written
    EXPECT_TRUE(w.overflowed);
    EXPECT_EQ(bytes(buffer, buffer + written(w)), (bytes{7, 0, 0, 0}));
}

}  // namespace

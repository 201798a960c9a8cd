// One encoding for the bytes that cross a boundary: the messages between the
// root and the pre-login process, the index and the journal beside a
// maildrop. Integers have a fixed width and go least significant byte first,
// whatever the host; a byte string is written as it is, its length given by
// a field before it or by the format.
//
// Writing goes through a `writer` over a buffer of the caller's; a value
// that does not fit marks it overflowed and writes nothing more. Reading goes
// through a `cursor`, one typed getter per field in order: a getter that runs
// past the end, or a check of the caller's (`refuse`), records the refusal
// and every later getter yields zero; `get_end` refuses bytes left after the
// last field. The first refusal is the one named, so a decoder reads on and
// tests the cursor once where that is simpler.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tollmar::util {

struct writer {
    unsigned char* begin;
    unsigned char* at;
    unsigned char* end;
    bool overflowed;
};

inline writer write_into(void* buffer, std::size_t size) {
    auto* p = static_cast<unsigned char*>(buffer);
    return {p, p, p + size, false};
}

// Bytes written so far.
inline std::size_t written(const writer& w) {
    return static_cast<std::size_t>(w.at - w.begin);
}

inline void put_bytes(writer& w, const void* data, std::size_t n) {
    if (w.overflowed || static_cast<std::size_t>(w.end - w.at) < n) {
        w.overflowed = true;
        return;
    }
    if (n > 0) std::memcpy(w.at, data, n);
    w.at += n;
}

template <typename Unsigned>
void put_unsigned(writer& w, Unsigned v) {
    unsigned char bytes[sizeof v];
    for (std::size_t i = 0; i < sizeof v; ++i) bytes[i] = static_cast<unsigned char>(v >> (8 * i));
    put_bytes(w, bytes, sizeof bytes);
}

inline void put_u16(writer& w, std::uint16_t v) {
    put_unsigned(w, v);
}
inline void put_u32(writer& w, std::uint32_t v) {
    put_unsigned(w, v);
}
inline void put_u64(writer& w, std::uint64_t v) {
    put_unsigned(w, v);
}
inline void put_i32(writer& w, std::int32_t v) {
    put_unsigned(w, static_cast<std::uint32_t>(v));
}
inline void put_i64(writer& w, std::int64_t v) {
    put_unsigned(w, static_cast<std::uint64_t>(v));
}

// The refusals the cursor names itself.
inline constexpr const char* refusal_cut_short = "ends inside a field";
inline constexpr const char* refusal_leftover = "bytes after the last field";

struct cursor {
    const unsigned char* at;
    const unsigned char* end;
    const char* refusal;  // the first thing found wrong; nullptr while none
};

inline cursor read_from(const void* data, std::size_t size) {
    // Never a null position: get_bytes's nullptr means refused, even for an
    // empty field of an empty input.
    static const unsigned char nothing = 0;
    if (data == nullptr) return {&nothing, &nothing, nullptr};
    const auto* p = static_cast<const unsigned char*>(data);
    return {p, p + size, nullptr};
}

// Records why the input is refused (unless a refusal came first); false.
inline bool refuse(cursor& c, const char* why) {
    if (c.refusal == nullptr) c.refusal = why;
    c.at = c.end;
    return false;
}

inline bool refused(const cursor& c) {
    return c.refusal != nullptr;
}

inline std::size_t bytes_left(const cursor& c) {
    return static_cast<std::size_t>(c.end - c.at);
}

// The next n bytes, in place; nullptr (refused) when fewer are left.
inline const unsigned char* get_bytes(cursor& c, std::size_t n) {
    if (c.refusal != nullptr || bytes_left(c) < n) {
        refuse(c, refusal_cut_short);
        return nullptr;
    }
    const unsigned char* p = c.at;
    c.at += n;
    return p;
}

inline bool get_bytes(cursor& c, void* out, std::size_t n) {
    const unsigned char* p = get_bytes(c, n);
    if (p == nullptr) return false;
    if (n > 0) std::memcpy(out, p, n);
    return true;
}

// Whether the next n bytes are `expected` (a format's magic); they are
// taken either way. False, and refused, when fewer are left.
inline bool get_expected(cursor& c, const void* expected, std::size_t n) {
    const unsigned char* p = get_bytes(c, n);
    return p != nullptr && std::memcmp(p, expected, n) == 0;
}

template <typename Unsigned>
Unsigned get_unsigned(cursor& c) {
    const unsigned char* p = get_bytes(c, sizeof(Unsigned));
    if (p == nullptr) return 0;
    Unsigned v = 0;
    for (std::size_t i = sizeof(Unsigned); i-- > 0;) v = static_cast<Unsigned>(v << 8 | p[i]);
    return v;
}

inline std::uint16_t get_u16(cursor& c) {
    return get_unsigned<std::uint16_t>(c);
}
inline std::uint32_t get_u32(cursor& c) {
    return get_unsigned<std::uint32_t>(c);
}
inline std::uint64_t get_u64(cursor& c) {
    return get_unsigned<std::uint64_t>(c);
}
inline std::int32_t get_i32(cursor& c) {
    return static_cast<std::int32_t>(get_unsigned<std::uint32_t>(c));
}
inline std::int64_t get_i64(cursor& c) {
    return static_cast<std::int64_t>(get_unsigned<std::uint64_t>(c));
}

// The end of the input: true when every byte was read and nothing refused;
// otherwise false with *why (when given) naming the first refusal.
inline bool get_end(cursor& c, const char** why) {
    if (c.refusal == nullptr && c.at != c.end) refuse(c, refusal_leftover);
    if (c.refusal != nullptr && why != nullptr) *why = c.refusal;
    return c.refusal == nullptr;
}

}  // namespace tollmar::util

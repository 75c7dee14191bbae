#include "QuorinCore/Support/KeyedHash.hpp"

#include <bit>
#include <cstring>
#include <random>

namespace quorin {

namespace {

// The full product of two 64-bit numbers (a compiler extension both gcc and clang have).
__extension__ using Wide = unsigned __int128;

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13) ^ v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = std::rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = std::rotl(v1, 17) ^ v2;
        v2 = std::rotl(v2, 32);
    }

    void compress(std::uint64_t word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    }
};

// Up to eight bytes read as a little-endian number, whatever the machine's order.
std::uint64_t littleEndianWord(const unsigned char* bytes, std::size_t count) {
    std::uint64_t word = 0;
    if (count > 0) {  // an empty text may have no bytes at all to point at
        std::memcpy(&word, bytes, count);
    }
    if constexpr (std::endian::native == std::endian::big) {
        word = __builtin_bswap64(word);
    }
    return word;
}

std::array<std::uint64_t, 2> drawnKey() {
    std::random_device device;
    std::array<std::uint64_t, 2> key{};
    for (std::uint64_t& half : key) {
        half = (std::uint64_t{device()} << 32) | device();
    }
    return key;
}

// The process's key, drawn once.
const std::array<std::uint64_t, 2>& processKey() {
    static const std::array<std::uint64_t, 2> key = drawnKey();
    return key;
}

}  // namespace

std::uint64_t sipHash24(std::string_view bytes, const std::array<std::uint64_t, 2>& key) {
    SipState state{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
                   key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() / 8 * 8;
    for (std::size_t offset = 0; offset < whole; offset += 8) {
        state.compress(littleEndianWord(data + offset, 8));
    }
    const std::uint64_t last = (std::uint64_t{bytes.size() & 0xff} << 56) |
                               littleEndianWord(data + whole, bytes.size() - whole);
    state.compress(last);
    state.v2 ^= 0xff;
    for (int round = 0; round < 4; ++round) {
        state.round();
    }
    return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}

std::size_t keyedHash(std::string_view bytes) {
    return static_cast<std::size_t>(sipHash24(bytes, processKey()));
}

std::size_t keyedHash(std::uint64_t high, std::uint64_t low) {
    const std::array<std::uint64_t, 2>& key = processKey();
    const Wide product = static_cast<Wide>(high + key[0]) * (low + key[1]);
    std::uint64_t mixed =
        static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    // The finalizer of MurmurHash3: a bijection whose every output bit depends on every input bit.
    mixed ^= mixed >> 33;
    mixed *= 0xff51afd7ed558ccdULL;
    mixed ^= mixed >> 33;
    mixed *= 0xc4ceb9fe1a85ec53ULL;
    mixed ^= mixed >> 33;
    return static_cast<std::size_t>(mixed);
}

namespace {

constexpr std::uint64_t mersenne61 = (std::uint64_t{1} << 61) - 1;

// A point in [2, 2^61 - 2], from the process's key.
std::uint64_t prefixHashPoint() {
    static const std::uint64_t point = processKey()[0] % (mersenne61 - 3) + 2;
    return point;
}

}  // namespace

void KeyedPrefixHash::append(unsigned char byte) {
    // value * point + byte + 1, reduced modulo 2^61 - 1 by folding the bits above the 61st.
    const Wide product = Wide{value_} * prefixHashPoint() + byte + 1;
    std::uint64_t folded = static_cast<std::uint64_t>(product & mersenne61) +
                           static_cast<std::uint64_t>(product >> 61);
    folded = (folded & mersenne61) + (folded >> 61);
    value_ = folded >= mersenne61 ? folded - mersenne61 : folded;
}

std::uint64_t KeyedPrefixHash::of(std::string_view text) {
    KeyedPrefixHash hash;
    for (const char byte : text) {
        hash.append(static_cast<unsigned char>(byte));
    }
    return hash.value();
}

}  // namespace quorin

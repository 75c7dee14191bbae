#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorin {

/// SipHash-2-4 of `bytes` under `key`: a hash whose collisions cannot be found without the key.
std::uint64_t sipHash24(std::string_view bytes, const std::array<std::uint64_t, 2>& key);

/// The hash of texts that an untrusted fixture, message or file chooses (keys, paths,
/// identifiers), for the tables they are looked up in: SipHash-2-4 under a key drawn at random
/// once per process, so that nobody can choose texts that all fall into one bucket and turn
/// every lookup into a scan.
std::size_t keyedHash(std::string_view bytes);

/// The same promise for a 128-bit value given as two halves, at a fraction of the cost: a
/// universal hash of the halves under the process's key (NH, as message authentication uses it),
/// its bits then spread so that any of them can choose a bucket.
std::size_t keyedHash(std::uint64_t high, std::uint64_t low);

/// A keyed hash of a text given byte by byte, so that one pass over a text gives the hash of each
/// of its prefixes: a polynomial modulo the prime 2^61 - 1, with the bytes (plus one) as its
/// coefficients, evaluated at a point drawn at random once per process. Two different texts of at
/// most n bytes share a hash at no more than n of the 2^61 - 1 points, so texts cannot be chosen
/// to collide by anyone who does not know the point.
class KeyedPrefixHash {
  public:
    void append(unsigned char byte);
    /// The hash of the bytes appended so far.
    std::uint64_t value() const { return value_; }

    /// The hash of `text`.
    static std::uint64_t of(std::string_view text);

  private:
    std::uint64_t value_ = 0;
};

}  // namespace quorin

#pragma once

#include <compare>

namespace quorin {

/// A point in time: seconds, with fraction, since 2001-01-01T00:00:00Z (the reference date).
/// This is also its JSON form. The value may be non-finite when it came from untrusted input;
/// consumers that need a finite time check `isFinite()`.
struct Date {
    /// Seconds between the Unix epoch and the reference date.
    static constexpr double unixEpochOffset = 978'307'200.0;

    double timeIntervalSinceReferenceDate = 0;

    static constexpr Date fromUnixTime(double secondsSince1970) {
        return Date{secondsSince1970 - unixEpochOffset};
    }
    constexpr double unixTime() const { return timeIntervalSinceReferenceDate + unixEpochOffset; }

    bool isFinite() const;

    /// The date `seconds` later (earlier when negative).
    constexpr Date addingTimeInterval(double seconds) const {
        return Date{timeIntervalSinceReferenceDate + seconds};
    }

    friend constexpr bool operator==(const Date&, const Date&) = default;
    friend constexpr auto operator<=>(const Date&, const Date&) = default;
};

}  // namespace quorin

#pragma once

#include <QDateTime>
#include <cmath>
#include <compare>

// A point in time as stored in our files: seconds since 2001-01-01 00:00:00 UTC, fraction kept.
struct Timestamp {
    static constexpr double kUnixEpochOffset = 978307200.0; // 1970-01-01 -> 2001-01-01

    double secondsSinceReferenceDate = 0;

    static Timestamp fromUnixSeconds(double seconds) { return {seconds - kUnixEpochOffset}; }
    static Timestamp fromDateTime(const QDateTime& dt)
    {
        return fromUnixSeconds(static_cast<double>(dt.toMSecsSinceEpoch()) / 1000.0);
    }
    static Timestamp now() { return fromDateTime(QDateTime::currentDateTimeUtc()); }

    double unixSeconds() const { return secondsSinceReferenceDate + kUnixEpochOffset; }
    QDateTime toDateTime() const
    {
        return QDateTime::fromMSecsSinceEpoch(std::llround(unixSeconds() * 1000.0), Qt::UTC);
    }
    Timestamp addedSeconds(double s) const { return {secondsSinceReferenceDate + s}; }

    auto operator<=>(const Timestamp&) const = default;
};

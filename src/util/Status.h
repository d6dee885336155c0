#pragma once

#include <QString>

// Outcome of an operation that can fail in ordinary use: ok, or failed with a reason.
struct [[nodiscard]] Status {
    bool ok = true;
    QString error;

    static Status success() { return {}; }
    static Status failure(QString reason) { return {false, std::move(reason)}; }
    explicit operator bool() const { return ok; }
};

#pragma once

#include <QString>
#include <optional>
#include <utility>
#include <variant>

// An error as the user sees it: a domain, an integer code (an HTTP status, or a code of the domain) and a
// description ready to show.
struct AppError {
    QString domain;
    int code = 0;
    QString description;

    bool operator==(const AppError&) const = default;
};

// The value of an operation that can fail in ordinary use, or the error that stopped it.
template <typename T> class [[nodiscard]] Result {
public:
    Result(T value) : m_state(std::in_place_index<0>, std::move(value)) {}
    Result(AppError error) : m_state(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<0>(m_state); }
    T& value() & { return std::get<0>(m_state); }
    T&& value() && { return std::get<0>(std::move(m_state)); }
    const AppError& error() const { return std::get<1>(m_state); }

private:
    std::variant<T, AppError> m_state;
};

template <> class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(AppError error) : m_error(std::move(error)) {}

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const AppError& error() const { return *m_error; }

private:
    std::optional<AppError> m_error;
};

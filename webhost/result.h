#pragma once
// Error codes, the error record and the value-or-error result of the web UI host.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace webhost::detail {

// Negative: failures of the host or its platform; positive: refusals about bindings.
enum class error_code : std::int32_t {
    ok = 0,
    unspecified = -1,
    invalid_argument = -2,
    invalid_state = -3,
    canceled = -4,
    missing_dependency = -5,
    duplicate = 1,
    not_found = 2,
};

struct failure_info {
    error_code code = error_code::unspecified;
    std::string message;
};

// Thrown when a caller reads a part of a result that is absent.
class bad_access : public std::exception {};

template <typename T>
class [[nodiscard]] result {
public:
    result(T value) : value_(std::move(value)) {}
    result(failure_info error) : error_(std::move(error)) {}

    bool has_value() const noexcept { return value_.has_value(); }
    bool has_error() const noexcept { return error_.has_value(); }
    explicit operator bool() const noexcept { return !has_error(); }

    const T& value() const {
        if (!value_) throw bad_access();
        return *value_;
    }
    const failure_info& error() const {
        if (!error_) throw bad_access();
        return *error_;
    }

private:
    std::optional<T> value_;
    std::optional<failure_info> error_;
};

template <>
class [[nodiscard]] result<void> {
public:
    result() = default;
    result(failure_info error) : error_(std::move(error)) {}

    bool has_error() const noexcept { return error_.has_value(); }
    explicit operator bool() const noexcept { return !has_error(); }

    const failure_info& error() const {
        if (!error_) throw bad_access();
        return *error_;
    }

private:
    std::optional<failure_info> error_;
};

}  // namespace webhost::detail

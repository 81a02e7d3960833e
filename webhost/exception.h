#pragma once
// The exception that the web UI host throws when its runtime, window or browser is unavailable.

#include <exception>
#include <string>

#include "result.h"

namespace webhost {

class exception : public std::exception {
public:
    exception(detail::error_code code, std::string message, std::exception_ptr cause = nullptr)
        : error_{code, std::move(message)}, cause_(std::move(cause)) {}
    explicit exception(detail::failure_info error) : error_(std::move(error)) {}

    const char* what() const noexcept override { return error_.message.c_str(); }

    detail::error_code code() const noexcept { return error_.code; }
    const std::string& message() const noexcept { return error_.message; }
    const detail::failure_info& error() const noexcept { return error_; }
    const std::exception_ptr& cause() const noexcept { return cause_; }

private:
    detail::failure_info error_;
    std::exception_ptr cause_;
};

}  // namespace webhost

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "exception.h"
#include "result.h"

using namespace webhost::detail;

TEST(Result, VoidDefaultIsSuccessAndHasNoError) {
    const result<void> done;
    EXPECT_FALSE(done.has_error());
    EXPECT_TRUE(static_cast<bool>(done));
    EXPECT_THROW(done.error(), bad_access);

    const result<void> failed = failure_info{error_code::not_found, "gone"};
    ASSERT_TRUE(failed.has_error());
    EXPECT_FALSE(static_cast<bool>(failed));
    EXPECT_EQ(failed.error().code, error_code::not_found);
    EXPECT_EQ(failed.error().message, "gone");
}

TEST(Result, ValueOrErrorAndAbsentPartsThrow) {
    int window_stand_in = 0;
    const result<int*> found = &window_stand_in;
    ASSERT_TRUE(found.has_value());
    EXPECT_FALSE(found.has_error());
    EXPECT_EQ(found.value(), &window_stand_in);
    EXPECT_THROW(found.error(), bad_access);

    // A null value is still a value.
    const result<int*> null_value = static_cast<int*>(nullptr);
    EXPECT_TRUE(null_value.has_value());
    EXPECT_FALSE(null_value.has_error());

    const result<int*> missing = failure_info{error_code::invalid_state, {}};
    EXPECT_FALSE(missing.has_value());
    ASSERT_TRUE(missing.has_error());
    EXPECT_EQ(static_cast<int>(missing.error().code), -3);
    EXPECT_EQ(missing.error().message, "");
    EXPECT_THROW(missing.value(), bad_access);
}

TEST(Exceptions, HostExceptionCarriesCodeMessageAndCause) {
    try {
        throw webhost::exception(error_code::missing_dependency, "WebView2 is unavailable");
    } catch (const std::exception& e) {  // caught through the standard base
        EXPECT_STREQ(e.what(), "WebView2 is unavailable");
        const auto& host = dynamic_cast<const webhost::exception&>(e);
        EXPECT_EQ(static_cast<int>(host.code()), -5);
        EXPECT_EQ(host.message(), "WebView2 is unavailable");
        EXPECT_FALSE(host.cause());
    }

    const webhost::exception from_result(failure_info{error_code::unspecified, "get_Settings failed"});
    EXPECT_EQ(from_result.code(), error_code::unspecified);
    EXPECT_STREQ(from_result.what(), "get_Settings failed");

    const webhost::exception empty(error_code::canceled, "");
    EXPECT_STREQ(empty.what(), "");

    const auto inner = std::make_exception_ptr(std::runtime_error("inner"));
    const webhost::exception outer(error_code::unspecified, "outer", inner);
    ASSERT_TRUE(outer.cause());
    EXPECT_THROW(std::rethrow_exception(outer.cause()), std::runtime_error);
}

TEST(Exceptions, BadAccessKeepsTheStandardText) {
    EXPECT_STREQ(bad_access().what(), "std::exception");
    EXPECT_STREQ(static_cast<const std::exception&>(bad_access()).what(), "std::exception");
}

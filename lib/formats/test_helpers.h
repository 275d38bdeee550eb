// Shared by the format unit's tests: streams over bytes and the exact fatal
// message of a failing call.
#ifndef KESTRUM_FORMATS_TEST_HELPERS_H
#define KESTRUM_FORMATS_TEST_HELPERS_H

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>

#include <kestrum/types.h>

#include "test_support.h"

// The statement ends the process with status 1 and exactly this message.
#define EXPECT_FATAL(statement, message)                                        \
    EXPECT_EXIT(statement, ::testing::ExitedWithCode(1),                        \
                ::testing::Eq(std::string("kestrum: ") + (message) + "\n"))

inline bool operator==(const pixel &a, const pixel &b) {
    return a.r == b.r && a.g == b.g && a.b == b.b;
}
inline std::ostream &operator<<(std::ostream &out, const pixel &p) {
    return out << '(' << p.r << ',' << p.g << ',' << p.b << ')';
}

// A stream over the bytes, closed when the holder goes.
class Input {
public:
    explicit Input(const std::string &bytes) : file_(testsupport::memoryStream(bytes)) {}
    ~Input() { fclose(file_); }
    Input(const Input &) = delete;
    Input &operator=(const Input &) = delete;
    operator FILE *() const { return file_; }
    // Everything not yet read.
    std::string rest() const {
        std::string out;
        for (int c; (c = getc(file_)) != EOF;)
            out.push_back(static_cast<char>(c));
        return out;
    }

private:
    FILE *file_;
};

#endif

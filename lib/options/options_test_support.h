// Shared by the option parser's tests: argument vectors written as one line,
// a fatal hook that throws (so that a test sees the message and what was
// executed before it), and a table with an option of every kind.
#ifndef KESTRUM_OPTIONS_TEST_SUPPORT_H
#define KESTRUM_OPTIONS_TEST_SUPPORT_H

#include <kestrum/options.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <functional>
#include <sstream>

namespace optiontest {

// A writable, null-ended argv from blank-separated words; "~" is the empty
// text and "_" a blank.
struct Argv {
    std::vector<std::string> text;
    std::vector<char *> v;
    int argc = 0;
    explicit Argv(const std::string &line) {
        std::istringstream in(line);
        for (std::string w; in >> w; text.push_back(w == "~" ? "" : w))
            std::replace(w.begin(), w.end(), '_', ' ');
        for (auto &w : text)
            v.push_back(&w[0]);
        v.push_back(nullptr);
        argc = static_cast<int>(text.size());
    }
    std::string rest() const {
        EXPECT_EQ(v[argc], nullptr);
        std::string out;
        for (int i = 0; i < argc; ++i)
            out += (i ? " " : "") + std::string(*v[i] ? v[i] : "~");
        return out;
    }
};

struct Fatal {
    std::string format, message;
};

inline void throwingHook(const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    throw Fatal{format, text};
}

// The message `parse` reported through the hook, or "" when none.
inline std::string fatalOf(const std::function<void()> &parse) {
    optSetFatalFunc(throwingHook);
    std::string message;
    try {
        parse();
    } catch (const Fatal &fatal) {
        message = fatal.message;
    }
    optSetFatalFunc(nullptr);
    return message;
}

// One option of every kind, all counted in one shared counter (n); "N" has
// no target and "w" an unknown kind.
template <bool shortOptions, bool negativeNumbers = false>
struct Kinds {
    int i = 0, flag = 0;
    unsigned u = 0, n = 9;
    long l = 0;
    unsigned long ul = 0;
    float f = 0;
    const char *s = nullptr;
    option_entry entries[12] = {
        {'c', "count", kind_int, &i, &n, 0},       {'u', "uint", kind_uint, &u, &n, 0},
        {'l', "long", kind_long, &l, &n, 0},       {'U', "ulong", kind_ulong, &ul, &n, 0},
        {'f', "float", kind_float, &f, &n, 0},     {'s', "string", kind_string, &s, &n, 0},
        {'F', "flag", kind_flag, &flag, &n, 0},    {'N', "nothing", kind_int, nullptr, &n, 0},
        {'w', "weird", option_kind(9), &i, &n, 0}, {0, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMN", kind_int, &i, &n, 0},
        {0, "ab", kind_flag, &flag, &n, 0},        {0, nullptr, kind_end, nullptr, nullptr, 0}};

    void parse(Argv &a) { optParseOptions3(&a.argc, a.v.data(), {shortOptions, negativeNumbers, entries}, 8, 0); }
    std::string state() const {  // the counter and the values set
        char single[32];
        snprintf(single, sizeof single, "%.9g", f);
        std::ostringstream out;
        out << "n=" << n << (i ? " i=" + std::to_string(i) : "") << (u ? " u=" + std::to_string(u) : "")
            << (l ? " l=" + std::to_string(l) : "") << (ul ? " ul=" + std::to_string(ul) : "")
            << (f != 0 ? " f=" + std::string(single) : "") << (s ? " s=" + std::string(s) : "") << (flag ? " flag" : "");
        return out.str();
    }
};

// Each case: an argv line and "<rest of argv, or the message> | <state>",
// for a fixture with parse(Argv &) and state(). A failing case runs again in
// a child with the default hook: the same text on stderr and status 99.
template <typename Fixture>
void checkCases(const std::vector<std::pair<std::string, std::string>> &cases) {
    for (const auto &[line, expected] : cases) {
        SCOPED_TRACE(line);
        Fixture f;
        Argv a(line);
        const std::string error = fatalOf([&] { f.parse(a); });
        EXPECT_EQ((error.empty() ? a.rest() : error) + " | " + f.state(), expected);
        if (!error.empty()) {
            EXPECT_EXIT({ Fixture g; Argv b(line); g.parse(b); }, ::testing::ExitedWithCode(99), ::testing::Eq(error));
        }
    }
}

}  // namespace optiontest

#endif

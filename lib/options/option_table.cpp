// One option table and one option occurrence: finding the entry an argument
// names, converting its value text to the entry's kind, storing it or
// handing it to the entry's function, and reporting errors through the
// replaceable fatal hook.
#include "options_internal.h"

#include <cctype>
#include <cerrno>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrum::options {

option_fatal_function optFatal = optFatalFunc;

namespace {

// Room for "--", 28 characters of a long name and the terminator.
constexpr size_t displayNameMax = 28;
char displayName[32];

// A null target, variable or function, takes nothing: the value is still
// converted and validated and the occurrence counted.
bool callsFunction(const option_entry &entry) {
    return (entry.flags & target_is_function) != 0 && entry.target != nullptr;
}

bool storesValue(const option_entry &entry) {
    return (entry.flags & target_is_function) == 0 && entry.target != nullptr;
}

// Store the value with the width of its kind, or pass it to the function.
template <typename Stored, typename Function, typename Value>
void deliver(const option_entry &entry, Value value) {
    if (callsFunction(entry))
        reinterpret_cast<Function>(entry.target)(value);
    else if (storesValue(entry))
        *static_cast<Stored *>(entry.target) = static_cast<Stored>(value);
}

void checkInteger(const option_entry &entry, const char *text, const char *end,
                  bool outOfRange, int isLong) {
    if (*end != '\0')
        optFail("invalid number `%s'\n", text);
    if (outOfRange)
        optFail("number `%s' to `%s' out of range\n", text, optString(entry, isLong));
}

// Whether the text that strtoul converted carries a minus sign, which
// strtoul accepts and applies modulo the type's width.
bool hasMinusSign(const char *text) {
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    return *text == '-';
}

// Single-precision rounding of a double, to nearest as the hardware does it,
// but without the undefined conversion of a value beyond float's range: from
// FLT_MAX plus half its last place upwards the result is an infinity.
float roundToFloat(double value) {
    const double overflowFrom = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    if (std::isfinite(value) && std::fabs(value) > FLT_MAX) {
        if (std::fabs(value) >= overflowFrom)
            return value < 0 ? -HUGE_VALF : HUGE_VALF;
        return value < 0 ? -FLT_MAX : FLT_MAX;
    }
    return static_cast<float>(value);
}

void executeWithNumber(const option_entry &entry, char *value, int isLong) {
    if (value == nullptr)
        optFail("internal error: optExecute() called with NULL argument '%s'",
                optString(entry, isLong));

    char *end = nullptr;
    switch (entry.kind) {
    case kind_int: {
        errno = 0;
        const long v = strtol(value, &end, 10);
        const bool outOfRange = errno == ERANGE || v < INT32_MIN || v > INT32_MAX;
        checkInteger(entry, value, end, outOfRange, isLong);
        deliver<int32_t, option_int_function>(entry, static_cast<int>(v));
        break;
    }
    case kind_uint: {
        // A 32-bit strtoul: the magnitude must fit 32 bits, and a minus
        // sign negates modulo 2^32.
        errno = 0;
        const unsigned long v = strtoul(value, &end, 10);
        bool outOfRange = errno == ERANGE;
        if (!outOfRange) {
            const unsigned long magnitude = hasMinusSign(value) ? 0UL - v : v;
            outOfRange = magnitude > UINT32_MAX;
        }
        checkInteger(entry, value, end, outOfRange, isLong);
        deliver<uint32_t, option_uint_function>(entry, static_cast<unsigned int>(v & UINT32_MAX));
        break;
    }
    case kind_long: {
        errno = 0;
        const long v = strtol(value, &end, 10);
        checkInteger(entry, value, end, errno == ERANGE, isLong);
        deliver<long, option_long_function>(entry, v);
        break;
    }
    case kind_ulong: {
        errno = 0;
        const unsigned long v = strtoul(value, &end, 10);
        checkInteger(entry, value, end, errno == ERANGE, isLong);
        deliver<unsigned long, option_ulong_function>(entry, v);
        break;
    }
    case kind_float: {
        errno = 0;
        const double v = strtod(value, &end);
        const bool outOfRange = errno == ERANGE;
        if (*end != '\0')
            optFail("invalid floating point number `%s'\n", value);
        if (outOfRange)
            optFail("floating point number `%s' to `%s' out of range\n", value,
                    optString(entry, isLong));
        const float rounded = roundToFloat(v);
        deliver<float, option_float_function>(entry, static_cast<double>(rounded));
        break;
    }
    default:
        break;
    }
}

}  // namespace

void optHookReturned() {
    fflush(stdout);
    exit(99);
}

void optFatalFunc(const char *format, ...) {
    fflush(stdout);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    exit(99);
}

int optStructCount(const option_entry *entries) {
    int count = 0;
    if (entries == nullptr)
        return 0;
    while (count < OPTION_TABLE_MAX_ENTRIES && entries[count].kind != kind_end)
        ++count;
    return count;
}

int optMatch(const option_entry *entries, const char *name, int isLong) {
    const int count = optStructCount(entries);
    if (isLong) {
        const size_t length = strcspn(name, "=");
        for (int i = 0; i < count; ++i) {
            const char *longName = entries[i].long_name;
            if (longName != nullptr && strncmp(longName, name, length) == 0)
                return i;
        }
    } else {
        for (int i = 0; i < count; ++i) {
            if (entries[i].short_name != '\0' && entries[i].short_name == name[0])
                return i;
        }
    }
    return -1;
}

int optNeedsArgument(option_entry entry) {
    return entry.kind >= kind_string && entry.kind <= kind_float;
}

const char *optString(option_entry entry, int isLong) {
    if (isLong) {
        const char *longName = entry.long_name != nullptr ? entry.long_name : "";
        const size_t length = strnlen(longName, displayNameMax);
        displayName[0] = '-';
        displayName[1] = '-';
        memcpy(displayName + 2, longName, length);
        displayName[2 + length] = '\0';
    } else {
        displayName[0] = '-';
        displayName[1] = entry.short_name;
        displayName[2] = '\0';
    }
    return displayName;
}

void optExecute(option_entry entry, char *value, int isLong) {
    // Saturate rather than wrap: a wrapped counter would read as "not given".
    if (entry.specified != nullptr && *entry.specified < UINT_MAX)
        ++*entry.specified;

    switch (entry.kind) {
    case kind_flag:
        if (callsFunction(entry))
            reinterpret_cast<option_flag_function>(entry.target)();
        else if (storesValue(entry))
            *static_cast<int *>(entry.target) = 1;
        break;
    case kind_string:
        deliver<const char *, option_string_function>(entry, static_cast<const char *>(value));
        break;
    case kind_int:
    case kind_uint:
    case kind_long:
    case kind_ulong:
    case kind_float:
        executeWithNumber(entry, value, isLong);
        break;
    default:
        // kind_end and unknown codes: the occurrence is only counted.
        break;
    }
}

}  // namespace kestrum::options

void optSetFatalFunc(option_fatal_function fatalFunc) {
    optFatal = fatalFunc != nullptr ? fatalFunc : optFatalFunc;
}

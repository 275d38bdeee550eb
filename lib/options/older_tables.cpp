// The older entry points, whose tables carry no occurrence counters. Both
// convert the table to the current form for the length of one parse; the
// oldest keeps its own simpler scan, where one dash always starts short
// options and only two dashes start a long one.
//
// The converted table is plain malloc'ed memory, not an RAII owner: a C
// caller's fatal hook may leave by longjmp, which must not skip destructors
// (such a jump leaves the table of at most 501 entries unreleased). A hook
// that throws gets it released by the catch-all, which longjmp passes by.
#include "options_internal.h"

#include <cstdlib>
#include <cstring>

namespace kestrum::options {

namespace {

const char conversionFailed[] =
    "Memory allocation failed (trying to allocate space for new-format option table)";

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

option_entry *convertOrFail(const old_option_entry *old) {
    option_entry *converted = optStructTblToEntryTbl(old);
    if (converted == nullptr)
        optFail(conversionFailed);
    return converted;
}

// One dash starts short options, two a long one; "--" ends the options.
void scanOldStyle(int *argcP, char *argv[], const option_entry *entries, int allowNegatives) {
    int index = 0;
    while (index < *argcP) {
        const char *element = argv[index];
        if (element == nullptr || element[0] != '-' || element[1] == '\0' ||
            (allowNegatives && isDecimalDigit(element[1]))) {
            ++index;
            continue;
        }
        if (strcmp(element, "--") == 0) {
            argvRemove(argcP, argv, index);
            break;
        }

        int usedUp = 1;
        if (element[1] == '-')
            parse_long_option(argv, *argcP, index, 2, entries, &usedUp);
        else
            parse_short_option_token(argv, *argcP, index, entries, &usedUp);
        for (int i = 0; i < usedUp; ++i)
            argvRemove(argcP, argv, index);
    }
}

}  // namespace

option_entry optStructToEntry(old_option_entry old) {
    option_entry entry;
    entry.short_name = old.short_name;
    entry.long_name = old.long_name;
    entry.kind = old.kind;
    entry.target = old.target;
    entry.specified = nullptr;
    entry.flags = old.flags;
    return entry;
}

option_entry *optStructTblToEntryTbl(const old_option_entry *old) {
    int count = 0;
    if (old != nullptr) {
        while (count < OPTION_TABLE_MAX_ENTRIES && old[count].kind != kind_end)
            ++count;
    }
    auto *converted = static_cast<option_entry *>(malloc((count + 1) * sizeof(option_entry)));
    if (converted == nullptr)
        return nullptr;
    for (int i = 0; i < count; ++i)
        converted[i] = optStructToEntry(old[i]);
    converted[count] = option_entry{0, nullptr, kind_end, nullptr, nullptr, 0};
    return converted;
}

}  // namespace kestrum::options

void optParseOptions2(int *argcP, char *argv[], old_option_table table, unsigned long flags) {
    option_entry *converted = convertOrFail(table.entries);
    const option_table current{table.short_options, table.negative_numbers, converted};
    try {
        optParseOptions3(argcP, argv, current, sizeof current, flags);
    } catch (...) {
        free(converted);
        throw;
    }
    free(converted);
}

void optParseOptions(int *argcP, char *argv[], const old_option_entry *entries,
                     int allowNegatives) {
    option_entry *converted = convertOrFail(entries);
    try {
        scanOldStyle(argcP, argv, converted, allowNegatives);
    } catch (...) {
        free(converted);
        throw;
    }
    free(converted);
}

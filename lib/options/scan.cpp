// Scanning an argument vector: every option and option value is executed
// and removed in place, so that the program name and the other arguments
// stay behind in their order, the vector still ended by its null element.
//
// How an element is read, in this order:
//   after "--", or not starting with "-"   an argument
//   "-"                                    an argument (standard input)
//   "-<digit>" with negative_numbers       an argument
//   "--"                                   ends the options; removed
//   "--name", "--name=value"               a long option
//   "-xyz"                                 short options x, y, z when
//                                          short_options is on, else the
//                                          long option "xyz"
// A long option's value follows "=" or, without "=", is the next element
// whatever it looks like. In a cluster of short options the first one that
// takes a value takes the rest of the element, or the next element when
// nothing follows it.
#include "options_internal.h"

#include <cstring>

namespace kestrum::options {

namespace {

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

void zero_specified(const option_entry *entries) {
    const int count = optStructCount(entries);
    for (int i = 0; i < count; ++i) {
        if (entries[i].specified != nullptr)
            *entries[i].specified = 0;
    }
}

void argvRemove(int *argcP, char *argv[], int index) {
    if (index < 0 || index >= *argcP)
        return;
    // Moves the null end too.
    for (int i = index; i < *argcP; ++i)
        argv[i] = argv[i + 1];
    --*argcP;
}

void parse_long_option(char *argv[], int argc, int index, int namePos,
                       const option_entry *entries, int *usedUpP) {
    *usedUpP = 1;
    char *element = argv[index];
    char *name = element + namePos;

    const int found = optMatch(entries, name, 1);
    if (found < 0)
        optFail("unrecognized option `%s'\n", element);
    const option_entry &entry = entries[found];

    char *equals = strchr(name, '=');
    char *value = equals != nullptr ? equals + 1 : nullptr;

    if (optNeedsArgument(entry)) {
        if (value == nullptr) {
            if (index + 1 >= argc)
                optFail("option `%s' requires an argument\n", optString(entry, 1));
            value = argv[index + 1];
            *usedUpP = 2;
        }
    } else if (value != nullptr) {
        optFail("option `%s' doesn't allow an argument\n", optString(entry, 1));
    }
    optExecute(entry, value, 1);
}

void parse_short_option_token(char *argv[], int argc, int index,
                              const option_entry *entries, int *usedUpP) {
    *usedUpP = 1;
    for (char *letter = argv[index] + 1; *letter != '\0'; ++letter) {
        const int found = optMatch(entries, letter, 0);
        if (found < 0)
            optFail("unrecognized option `-%c'\n", *letter);
        const option_entry &entry = entries[found];

        if (!optNeedsArgument(entry)) {
            optExecute(entry, nullptr, 0);
            continue;
        }
        char *value = letter + 1;
        if (*value == '\0') {
            if (index + 1 >= argc)
                optFail("option `%s' requires an argument\n", optString(entry, 0));
            value = argv[index + 1];
            *usedUpP = 2;
        }
        optExecute(entry, value, 0);
        return;
    }
}

}  // namespace kestrum::options

void optParseOptions3(int *argcP, char *argv[], option_table table,
                      unsigned int /*tableSize*/, unsigned long /*flags*/) {
    zero_specified(table.entries);

    bool endOfOptions = false;
    int index = 0;
    while (index < *argcP) {
        const char *element = argv[index];
        if (endOfOptions || element == nullptr || element[0] != '-' || element[1] == '\0' ||
            (table.negative_numbers && isDecimalDigit(element[1]))) {
            ++index;
            continue;
        }

        int usedUp = 1;
        if (element[1] == '-') {
            if (element[2] == '\0')
                endOfOptions = true;
            else
                parse_long_option(argv, *argcP, index, 2, table.entries, &usedUp);
        } else if (table.short_options) {
            parse_short_option_token(argv, *argcP, index, table.entries, &usedUp);
        } else {
            parse_long_option(argv, *argcP, index, 1, table.entries, &usedUp);
        }
        // The element that moves into this place is examined next.
        for (int i = 0; i < usedUp; ++i)
            argvRemove(argcP, argv, index);
    }
}

// Private steps of the option parser, shared by its sources and its tests.
// None of these is part of the library's interface: they live in a
// namespace of their own, so that no program linking the static library
// meets them (a program may well define its own optFatal).
#ifndef KESTRUM_OPTIONS_INTERNAL_H
#define KESTRUM_OPTIONS_INTERNAL_H

#include <kestrum/options.h>

namespace kestrum::options {

// --- One table and one occurrence (option_table.cpp) ---------------------

// Entries before the first kind_end, but never more than 500.
int optStructCount(const option_entry *entries);
// Index of the entry that `name` names, or -1. Long mode: `name` runs up to
// its first '=' and may abbreviate a long name; the first entry in table
// order wins. Short mode: the first character is the short name.
int optMatch(const option_entry *entries, const char *name, int isLong);
int optNeedsArgument(option_entry entry);
// "--" and at most 28 characters of the long name, or "-" and the short
// name; the text lives in a static buffer overwritten by the next call.
const char *optString(option_entry entry, int isLong);
// Counts the occurrence and stores or passes on the value (null for a kind
// without value). `isLong` only says how to name the option in messages.
void optExecute(option_entry entry, char *value, int isLong);
KESTRUM_NORETURN void optFatalFunc(const char *format, ...) KESTRUM_PRINTF(1, 2);

extern option_fatal_function optFatal;

// Ends the process with status 99; for a hook that returned.
[[noreturn]] void optHookReturned();

// Reports an error through the hook. The hook must not return; should it
// return anyway, the parse must not go on as if the check had passed.
template <typename... Args>
[[noreturn]] void optFail(const char *format, Args... args) {
    optFatal(format, args...);
    optHookReturned();
}

// --- Scanning an argument vector (scan.cpp) ------------------------------

void zero_specified(const option_entry *entries);
// Handle the option of argv[index] whose name starts at argv[index] +
// namePos; *usedUpP receives 1, or 2 when the next element was its value.
void parse_long_option(char *argv[], int argc, int index, int namePos,
                       const option_entry *entries, int *usedUpP);
void parse_short_option_token(char *argv[], int argc, int index,
                              const option_entry *entries, int *usedUpP);
void argvRemove(int *argcP, char *argv[], int index);

// --- Older tables (older_tables.cpp) -------------------------------------

option_entry optStructToEntry(old_option_entry old);
// A malloc'ed converted table with its own end entry, or null.
option_entry *optStructTblToEntryTbl(const old_option_entry *old);

}  // namespace kestrum::options

// The parser's sources and tests name these steps as they always have.
using namespace kestrum::options;

#endif

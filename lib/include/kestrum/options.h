/* libkestrum option parser: a program declares its options in a table and
   the parser fills the program's variables from the command line, removing
   every option (and option value) from the argument vector.

   Errors are reported through a replaceable fatal hook. The default hook
   flushes standard output, writes the message to standard error exactly as
   formatted (no program-name prefix) and ends the process with status 99. */
#ifndef KESTRUM_OPTIONS_H
#define KESTRUM_OPTIONS_H

#include <stddef.h>
#include <kestrum/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What an option takes and how its value text is converted. The numeric
   codes are part of the table format. Codes above 7 are tolerated: such an
   option takes no value and each occurrence only raises its counter. */
#ifdef __cplusplus
enum option_kind : int {
#else
enum option_kind {
#endif
    kind_end = 0,    /* ends the table */
    kind_flag = 1,   /* no value; stores the int 1 */
    kind_string = 2, /* stores the address of the value text (no copy) */
    kind_int = 3,    /* base 10, signed 32-bit range */
    kind_uint = 4,   /* base 10, unsigned 32-bit; "-1" is 4294967295 */
    kind_long = 5,   /* base 10, the platform's long */
    kind_ulong = 6,  /* base 10, the platform's unsigned long */
    kind_float = 7   /* base 10, rounded to single precision */
};
typedef enum option_kind option_kind;

/* Bit of option_entry.flags: `target` is a function to call with the
   converted value instead of a variable to store it in. */
enum { target_is_function = 1 };

/* Signatures that a function target must have, by kind. */
typedef void (*option_flag_function)(void);
typedef void (*option_string_function)(const char *value);
typedef void (*option_int_function)(int value);
typedef void (*option_uint_function)(unsigned int value);
typedef void (*option_long_function)(long value);
typedef void (*option_ulong_function)(unsigned long value);
typedef void (*option_float_function)(double value); /* already rounded to float */

/* One option. `specified`, when not null, is set to 0 at the start of every
   parse and raised by 1 at every occurrence; several entries may share one
   counter. A kind_string target is a `const char *` variable that receives a
   pointer into the argument vector. */
typedef struct {
    char short_name;         /* used after one dash; 0 = none */
    const char *long_name;   /* without dashes; null = none */
    option_kind kind;
    void *target;            /* variable, function (target_is_function) or null */
    unsigned int *specified; /* occurrence counter, or null */
    unsigned int flags;      /* target_is_function or 0 */
} option_entry;

/* Only the first 500 entries of a table take part in matching. */
#define OPTION_TABLE_MAX_ENTRIES 500

typedef struct {
    /* Nonzero: "-abc" is a cluster of short options; zero: it is the long
       option "abc", the same as "--abc". */
    unsigned char short_options;
    /* Nonzero: a dash followed by a digit is an argument, not an option. */
    unsigned char negative_numbers;
    /* The entries, ended by an entry whose kind is kind_end. */
    const option_entry *entries;
} option_table;

/* The fatal hook: a printf-style format and its arguments. A replacement
   must not return (it may leave by longjmp or a C++ exception); if it does
   return, the parser ends the process with status 99 itself. */
typedef void (*option_fatal_function)(const char *format, ...);

/* Makes fatalFunc the hook for every later error; null restores the
   default hook. */
KESTRUM_API void optSetFatalFunc(option_fatal_function fatalFunc);

/* Parses the options of argv by `table` and removes them (and their values)
   from argv, lowering *argcP to match; argv[*argcP] stays null. Element 0 is
   examined like every other element. "--" ends the options and is removed;
   a lone "-" is an argument. `tableSize` and `flags` have no effect.
   Option values of kind_string point into argv's texts. */
KESTRUM_API void optParseOptions3(int *argcP, char *argv[], option_table table,
                                  unsigned int tableSize, unsigned long flags);

/* --- Older tables, without occurrence counters ----------------------- */

typedef struct {
    char short_name;
    const char *long_name;
    option_kind kind;
    void *target;
    unsigned int flags;
} old_option_entry;

typedef struct {
    unsigned char short_options;
    unsigned char negative_numbers;
    const old_option_entry *entries;
} old_option_table;

/* Converts the table and parses exactly as optParseOptions3 does. */
KESTRUM_API void optParseOptions2(int *argcP, char *argv[], old_option_table table,
                                  unsigned long flags);

/* The oldest scanner: one dash always starts a cluster of short options and
   only two dashes start a long option; with allowNegatives, a dash followed
   by a digit is an argument. */
KESTRUM_API void optParseOptions(int *argcP, char *argv[],
                                 const old_option_entry *entries, int allowNegatives);

#ifdef __cplusplus
}
#endif

#endif

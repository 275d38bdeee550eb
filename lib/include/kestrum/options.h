/* libkestrum option parser: a program declares its options in a table and
   the parser fills the program's variables from the command line, removing
   every option (and option value) from the argument vector.

   Errors are reported through a replaceable fatal hook. The default hook
   flushes standard output, writes the message to standard error exactly as
   formatted (no program-name prefix) and ends the process with status 99.
   The parser allocates nothing that outlives a call and keeps no pointer to
   the table; values of kind_string point into argv.

   Threads: the fatal hook and the buffer that names an option in messages
   are process-wide: parse on one thread at a time. */
#ifndef KESTRUM_OPTIONS_H
#define KESTRUM_OPTIONS_H

#include <stddef.h>
#include <kestrum/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What an option takes and how its value text is converted. The numeric
   codes are part of the table format. Codes above 7 are tolerated: such an
   option takes no value and each occurrence only raises its counter.
   A variable target must have exactly the C type named with its kind: the
   parser stores that many bytes, so a narrower variable has its neighbour
   overwritten. A value out of the type's range, or with anything after the
   number, is an error reported through the fatal hook. */
#ifdef __cplusplus
enum option_kind : int {
#else
enum option_kind {
#endif
    kind_end = 0,    /* ends the table */
    kind_flag = 1,   /* no value; int target, set to 1 */
    kind_string = 2, /* const char * target: the address of the value text */
    kind_int = 3,    /* int target (32 bits), base 10 */
    kind_uint = 4,   /* unsigned int target (32 bits), base 10; "-1" is 4294967295 */
    kind_long = 5,   /* long target, base 10 */
    kind_ulong = 6,  /* unsigned long target, base 10 */
    kind_float = 7   /* float target, base 10, rounded to single precision */
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

/* Makes fatalFunc the hook for every later error, in every parse until it
   is replaced; null restores the default hook. */
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

/* Converts the table and parses exactly as optParseOptions3 does. Fatal
   through the hook when the converted table cannot be allocated. */
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

// The quantizer's own options and arguments.
#ifndef QUANTIZE_CMDLINE_H
#define QUANTIZE_CMDLINE_H

namespace quantize {

// What the command line asks for. The texts point into the argument vector
// (or at the constant "-") and are never copied.
struct command_line_info {
    const char *input_file_spec;  // "-" means standard input
    const char *map_file_spec;    // -mapfile value, or null
    int requested_colors;         // at least 2; set only without -mapfile
    unsigned int floyd;           // occurrences of -floyd/-fs; nonzero: dither
    unsigned int refine;          // occurrences of -refine; nonzero: better colours
    unsigned int seeded;          // occurrences of -seed; nonzero: seed is set
    unsigned int seed;            // the dithering's starting errors come from it
};

// The largest number of colours; larger requests are taken as this many.
constexpr long kMaxRequestedColors = 2147483647;

// Fills *cmdlineP from the argument vector left by the start-up (the common
// options already removed). Option errors end the process with status 99,
// argument errors through pm_error with status 1. argv is rewritten in
// place; argc is taken by value and left to the caller unchanged.
void parseCommandLine(int argc, char *argv[], command_line_info *cmdlineP);

}  // namespace quantize

#endif

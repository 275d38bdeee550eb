// Usage:
//   quantize [options] ncolors [inputfile]
//   quantize [options] -mapfile mapfile [inputfile]
// with the options -floyd (-fs), -nofloyd (-nofs), -mapfile, -seed and
// -refine, written with one or two dashes and abbreviated to any prefix;
// where a prefix fits several names the first row of the table wins (-f is
// -floyd, -no -nofloyd). Later options go after the older rows, so that no
// abbreviation that worked before changes its meaning.
#include "cmdline.h"

#include <kestrum/common.h>
#include <kestrum/options.h>

#include <cstdlib>

namespace quantize {

void parseCommandLine(int argc, char *argv[], command_line_info *cmdlineP) {
    unsigned int nofloyd = 0;
    unsigned int mapfileSpec = 0;
    const option_entry entries[] = {
        {0, "floyd", kind_flag, nullptr, &cmdlineP->floyd, 0},
        {0, "fs", kind_flag, nullptr, &cmdlineP->floyd, 0},
        {0, "nofloyd", kind_flag, nullptr, &nofloyd, 0},
        {0, "nofs", kind_flag, nullptr, &nofloyd, 0},
        {0, "mapfile", kind_string, &cmdlineP->map_file_spec, &mapfileSpec, 0},
        {0, "seed", kind_uint, &cmdlineP->seed, &cmdlineP->seeded, 0},
        {0, "refine", kind_flag, nullptr, &cmdlineP->refine, 0},
        {0, nullptr, kind_end, nullptr, nullptr, 0},
    };
    option_table table{};
    table.short_options = 0;
    table.negative_numbers = 0;
    table.entries = entries;
    optParseOptions3(&argc, argv, table, sizeof table, 0);

    const int nargs = argc - 1;
    if (cmdlineP->floyd && nofloyd)
        pm_error("You cannot specify both -floyd and -nofloyd options.");

    if (mapfileSpec == 0)
        cmdlineP->map_file_spec = nullptr;
    // The map file's colours are the answer there; there is nothing to refine.
    if (mapfileSpec && cmdlineP->refine)
        pm_error("You cannot specify both -mapfile and -refine options.");

    if (mapfileSpec) {
        if (nargs == 0)
            cmdlineP->input_file_spec = "-";
        else if (nargs == 1)
            cmdlineP->input_file_spec = argv[1];
        else
            pm_error("When you specify the -mapfile option, the only argument allowed is the "
                     "input file specification.  You specified %d arguments.",
                     nargs);
        return;
    }

    if (nargs > 2)
        pm_error("Program takes at most two arguments: number of colors and input "
                 "file specification.  You specified %d arguments.",
                 nargs);
    cmdlineP->input_file_spec = nargs == 2 ? argv[2] : "-";
    if (nargs < 1)
        pm_error("You must specify the number of colors in the output as an argument, "
                 "or specify the -mapfile option.");

    char *tail;
    const long count = strtol(argv[1], &tail, 10);
    if (*tail != '\0')
        pm_error("The number of colors argument '%s' is not a number.", argv[1]);
    if (count <= 0)
        pm_error("The number of colors must be positive");
    if (count == 1)
        pm_error("The number of colors must be greater than 1.");
    // A count past the int range is kept as the largest int, never wrapped
    // to a small one; the colour map of that many entries is refused later.
    cmdlineP->requested_colors =
        static_cast<int>(count > kMaxRequestedColors ? kMaxRequestedColors : count);
}

}  // namespace quantize

// Program start-up with the suite's common options, progress messages and
// fatal errors. Everything the user reads goes to standard error; standard
// output is left to image data.
#include <kestrum/common.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "kestrum_buildinfo.h"

int pm_plain_output = 0;

namespace {

// Until pm_proginit runs there is no program name; fatal messages from a
// program that skipped it still need a prefix.
const char *pm_progname = "kestrum";
int pm_showmessages = 0;

void writePrefixedLine(const char *format, va_list args) {
    fprintf(stderr, "%s: ", pm_progname);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
}

void showVersion() {
    pm_message("Using libkestrum from Kestrum Version: %s", KESTRUM_RELEASE);
    pm_message("Compiled %s by user \"%s\"", KESTRUM_COMPILE_TIME, KESTRUM_COMPILED_BY);
    pm_message("BSD defined");
    pm_message("RGB_ENV='%s'", "RGBDEF");
    const char *rgbdef = getenv("RGBDEF");
    if (rgbdef)
        pm_message("RGBENV= '%s' (env vbl set to '%s')", "RGBDEF", rgbdef);
    else
        pm_message("RGBENV= '%s' (env vbl is unset)", "RGBDEF");
}

// Takes argv[i] out of the vector, moving every later element (the final
// null included) down one place.
void removeArgument(int *argcP, char *argv[], int i) {
    for (int j = i; j < *argcP; ++j)
        argv[j] = argv[j + 1];
    --*argcP;
}

// Only A to Z fold, whatever locale the program has set: keywords are ASCII.
int foldCase(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

const char *afterLastSlash(const char *path) {
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

}  // namespace

void pm_init(const char *progname, unsigned int /*flags*/) {
    pm_setMessage(0, nullptr);
    // A copy of its own, so that the caller may free or reuse its text: in a
    // static buffer for any name a file can have, so that setting a name
    // allocates nothing, and on the heap only beyond that. Without memory
    // for a longer copy the previous name stays.
    static char fileName[256];
    static char *longName = nullptr;
    if (progname == pm_progname)
        return;
    const size_t bytes = strlen(progname) + 1;
    if (bytes <= sizeof fileName) {
        memmove(fileName, progname, bytes);
        pm_progname = fileName;
        free(longName);
        longName = nullptr;
        return;
    }
    char *copy = static_cast<char *>(malloc(bytes));
    if (copy == nullptr)
        return;
    memcpy(copy, progname, bytes);
    free(longName);
    longName = copy;
    pm_progname = longName;
}

void pm_proginit(int *argcP, char *argv[]) {
    // A program may be started with an empty argument vector; it then keeps
    // the name it had rather than reading through a null pointer.
    pm_init(*argcP > 0 && argv[0] != nullptr ? afterLastSlash(argv[0]) : pm_progname, 0);
    pm_plain_output = 0;

    int showMessages = 1;
    bool showVersionRequested = false;
    bool showHelp = false;

    for (int i = 1; i < *argcP;) {
        const char *arg = argv[i];
        if (pm_keymatch(arg, "-quiet", 6) || pm_keymatch(arg, "--quiet", 7))
            showMessages = 0;
        else if (pm_keymatch(arg, "-version", 8) || pm_keymatch(arg, "--version", 9))
            showVersionRequested = true;
        else if (pm_keymatch(arg, "-help", 5) || pm_keymatch(arg, "--help", 6) ||
                 pm_keymatch(arg, "-?", 2))
            showHelp = true;
        else if (pm_keymatch(arg, "-plain", 6) || pm_keymatch(arg, "--plain", 7))
            pm_plain_output = 1;
        else {
            ++i;
            continue;
        }
        removeArgument(argcP, argv, i);
    }

    pm_setMessage(showMessages, nullptr);

    if (showVersionRequested) {
        showVersion();
        exit(0);
    }
    if (showHelp)
        pm_error("Use 'man %s' for help.", pm_progname);
}

void pbm_init(int *argcP, char *argv[]) { pm_proginit(argcP, argv); }
void pgm_init(int *argcP, char *argv[]) { pbm_init(argcP, argv); }
void ppm_init(int *argcP, char *argv[]) { pgm_init(argcP, argv); }

void pm_setMessage(int newState, int *oldStateP) {
    if (oldStateP)
        *oldStateP = pm_showmessages;
    pm_showmessages = newState != 0;
}

void pm_message(const char *format, ...) {
    if (!pm_showmessages)
        return;
    va_list args;
    va_start(args, format);
    writePrefixedLine(format, args);
    va_end(args);
}

void pm_error(const char *format, ...) {
    va_list args;
    va_start(args, format);
    writePrefixedLine(format, args);
    va_end(args);
    exit(1);
}

void pm_perror(const char *reason) {
    const char *systemText = strerror(errno);
    if (reason == nullptr || reason[0] == '\0')
        pm_error("%s", systemText);
    pm_error("%s - %s", reason, systemText);
}

void pm_usage(const char *usage) {
    fprintf(stderr, "usage:  %s %s\n", pm_progname, usage);
    exit(1);
}

// Case-insensitive abbreviation of keyword, at least minchars long.
int pm_keymatch(const char *str, const char *keyword, int minchars) {
    if (static_cast<long>(strlen(str)) < minchars)
        return 0;
    for (; *str != '\0'; ++str, ++keyword) {
        if (*keyword == '\0')
            return 0;
        if (foldCase(*str) != foldCase(*keyword))
            return 0;
    }
    return 1;
}

char *pm_arg0toprogname(const char *arg0) {
    static char name[65];
    strncpy(name, afterLastSlash(arg0), sizeof(name));
    name[64] = '\0';
    const size_t len = strlen(name);
    if (len >= 4 && strcmp(name + len - 4, ".exe") == 0)
        name[len - 4] = '\0';
    return name;
}

// What the shared library exports must be exactly what the public headers
// declare KESTRUM_API: a private helper that escapes becomes an interface
// users come to rely on, and a public declaration without an exported
// definition is a link error in every user's program.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

// Comments and string literals blanked out.
std::string withoutCommentsAndStrings(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '/' && i + 1 < text.size() && text[i + 1] == '*') {
            const size_t end = text.find("*/", i + 2);
            i = end == std::string::npos ? text.size() : end + 1;
            out.push_back(' ');
        } else if (c == '/' && i + 1 < text.size() && text[i + 1] == '/') {
            while (i + 1 < text.size() && text[i + 1] != '\n')
                ++i;
        } else if (c == '"' || c == '\'') {
            while (i + 1 < text.size() && text[i + 1] != c)
                i += text[i + 1] == '\\' ? 2 : 1;
            ++i;
            out.push_back(' ');
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The headers as a C compiler sees them, without directives: the branches
// that only C++ compiles (extern "C", enum base types) are dropped, every
// other conditional kept whole.
std::string declarationsOnly(const std::string &text) {
    struct Conditional {
        bool onCxx;     // tests __cplusplus
        bool skipping;  // this branch is for C++ only
    };
    std::vector<Conditional> open;
    std::string out;
    std::istringstream lines(withoutCommentsAndStrings(text));
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && line.back() == '\\') {
            std::string next;
            if (!std::getline(lines, next))
                break;
            line.pop_back();
            line += next;
        }
        std::istringstream words(line);
        std::string directive, argument;
        words >> directive >> argument;
        if (directive.empty() || directive[0] != '#') {
            const bool skipping = std::any_of(open.begin(), open.end(),
                                              [](const Conditional &c) { return c.skipping; });
            if (!skipping)
                out += line + '\n';
            continue;
        }
        if (directive == "#") {  // "# ifdef" with a blank after the hash
            directive += argument;
            words >> argument;
        }
        const bool onCxx = argument.find("__cplusplus") != std::string::npos;
        const bool negated = !argument.empty() && argument[0] == '!';
        if (directive == "#ifdef" || directive == "#if")
            open.push_back({onCxx, onCxx && !negated});
        else if (directive == "#ifndef")
            open.push_back({onCxx, false});
        else if ((directive == "#else" || directive == "#elif") && !open.empty() &&
                 open.back().onCxx)
            open.back().skipping = !open.back().skipping;
        else if (directive == "#endif" && !open.empty())
            open.pop_back();
    }
    return out;
}

// Removes each use of the macro `name(...)`, nested parentheses included.
std::string withoutMacroCalls(std::string text, const std::string &name) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at)) {
        size_t i = text.find('(', at + name.size());
        if (i == std::string::npos)
            break;
        int depth = 0;
        do {
            depth += text[i] == '(' ? 1 : text[i] == ')' ? -1 : 0;
        } while (depth > 0 && ++i < text.size());
        text.replace(at, i + 1 - at, " ");
    }
    return text;
}

// The name a KESTRUM_API declaration introduces: a function, a pointer to a
// function, or a variable.
std::string declaredName(const std::string &declaration) {
    static const std::regex functionPointer(R"(\(\s*\*\s*([A-Za-z_]\w*)\s*\)\s*\()");
    static const std::regex beforeParen(R"(([A-Za-z_]\w*)\s*$)");
    static const std::regex identifier(R"([A-Za-z_]\w*)");
    std::smatch m;
    const size_t paren = declaration.find('(');
    if (paren != std::string::npos) {
        const std::string rest = declaration.substr(paren);
        if (std::regex_search(rest, m, functionPointer, std::regex_constants::match_continuous))
            return m[1];
        const std::string head = declaration.substr(0, paren);
        return std::regex_search(head, m, beforeParen) ? m[1].str() : "";
    }
    std::string name;
    const std::string head = declaration.substr(0, declaration.find('['));
    for (std::sregex_iterator it(head.begin(), head.end(), identifier), end; it != end; ++it)
        name = it->str();
    return name;
}

struct PublicHeaders {
    std::set<std::string> declared;  // functions and variables the headers declare
    std::set<std::string> api;       // those of them marked KESTRUM_API
    std::string text;                // every header, declarations only
};

bool startsWithWord(const std::string &statement, const char *word) {
    static const std::regex firstWord(R"(^\s*(\w+))");
    std::smatch m;
    return std::regex_search(statement, m, firstWord) && m[1] == word;
}

// Scans the declarations at file scope (not struct members nor inline
// bodies). A declaration is a statement with a parameter list, or one that
// begins with extern; typedefs and static inline helpers are not part of the
// exported interface.
void scanDeclarations(const std::string &text, PublicHeaders &h) {
    static const std::regex api(R"(\bKESTRUM_API\b)");
    int depth = 0;
    std::string statement;
    for (char c : text) {
        if (c != ';' && c != '{' && c != '}') {
            statement.push_back(c);
            continue;
        }
        const bool candidate = statement.find('(') != std::string::npos ||
                               startsWithWord(statement, "extern");
        if (depth == 0 && c != '}' && candidate && !startsWithWord(statement, "typedef") &&
            !startsWithWord(statement, "static")) {
            const std::string name = declaredName(statement);
            h.declared.insert(name);
            if (std::regex_search(statement, api))
                h.api.insert(name);
        }
        statement.clear();
        depth += c == '{' ? 1 : c == '}' ? -1 : 0;
    }
}

const PublicHeaders &publicHeaders() {
    static const PublicHeaders headers = [] {
        PublicHeaders h;
        for (const auto &entry : fs::directory_iterator(KESTRUM_PUBLIC_HEADERS)) {
            if (entry.path().extension() != ".h")
                continue;
            std::string text = declarationsOnly(testsupport::readFile(entry.path().string()));
            for (const char *macro : {"KESTRUM_PRINTF", "__attribute__"})
                text = withoutMacroCalls(text, macro);
            h.text += text;
            scanDeclarations(text, h);
        }
        return h;
    }();
    return headers;
}

// The shared library's dynamic symbols, demangled: name -> nm's type letter.
const std::map<std::string, std::string> &exportedSymbols() {
    static const std::map<std::string, std::string> symbols = [] {
        std::map<std::string, std::string> s;
        const auto r = testsupport::run(KESTRUM_NM, {"-D", "-C", "--defined-only",
                                                     KESTRUM_SHARED_LIBRARY});
        EXPECT_EQ(r.status, 0) << r.err;
        std::istringstream lines(r.out);
        std::string line;
        while (std::getline(lines, line)) {
            // "address type name", where a demangled name may hold blanks.
            std::istringstream fields(line);
            std::string address, type, name;
            fields >> address >> type;
            std::getline(fields >> std::ws, name);
            name = name.substr(0, name.find('@'));  // symbol version, if any
            if (!name.empty())
                s[name] = type;
        }
        return s;
    }();
    return symbols;
}

// Guards the two scans: without this, a parser that found nothing would
// make the checks below pass vacuously.
TEST(ExportedSymbols, ScansFindTheKnownInterface) {
    const auto &declared = publicHeaders().api;
    EXPECT_EQ(publicHeaders().declared.count(""), 0u) << "a declaration whose name was not found";
    // One name from each header that declares functions.
    for (const char *name : {"pm_error", "pm_plain_output", "format_family", "pbm_readpbm",
                             "pgm_writepgm", "ppm_readppm", "ppm_computecolorhist",
                             "optParseOptions3"}) {
        EXPECT_EQ(declared.count(name), 1u) << name;
        EXPECT_EQ(exportedSymbols().count(name), 1u) << name;
    }
}

// Without the mark, a public function is hidden from every user of the
// shared library while the static one still offers it.
TEST(ExportedSymbols, EveryPublicDeclarationIsMarkedApi) {
    for (const auto &name : publicHeaders().declared)
        EXPECT_EQ(publicHeaders().api.count(name), 1u)
            << name << " is declared in a public header without KESTRUM_API";
}

TEST(ExportedSymbols, OnlyPublicDeclarationsAreExported) {
    const auto &declared = publicHeaders().api;
    for (const auto &[name, type] : exportedSymbols())
        EXPECT_EQ(declared.count(name), 1u)
            << name << " (" << type << ") is exported but not declared KESTRUM_API in a public header";
}

TEST(ExportedSymbols, EveryPublicDeclarationIsExported) {
    for (const auto &name : publicHeaders().api)
        EXPECT_EQ(exportedSymbols().count(name), 1u)
            << name << " is declared KESTRUM_API but the shared library does not export it";
}

// The prefixes are also what the linker version script lets through.
TEST(ExportedSymbols, PublicNamesCarryAFamilyPrefix) {
    static const std::regex family(R"((pm|pbm|pgm|ppm)_\w+|opt[A-Z]\w*)");
    // The one exception is named after the format code it classifies.
    static const std::set<std::string> exceptions = {"format_family"};
    for (const auto &name : publicHeaders().api)
        EXPECT_TRUE(std::regex_match(name, family) || exceptions.count(name)) << name;
}

// The library's private helpers and state: neither exported (under any
// namespace or signature) nor named in a public header.
TEST(ExportedSymbols, PrivateHelpersStayHidden) {
    static const char *const privateNames[] = {
        // start-up, messages, rows and arrays
        "pm_progname", "pm_showmessages", "showVersion", "mallocProduct",
        // option parser
        "optFatal", "optFatalFunc", "optExecute", "optMatch", "optString",
        "optNeedsArgument", "optStructCount", "zero_specified", "parse_long_option",
        "parse_short_option_token", "argvRemove",
        // formats
        "getbit", "putus", "ppm_writeppmrowraw", "ppm_writeppmrowplain",
        "pgm_writepgmrowraw", "pgm_writepgmrowplain",
        // colour library
        "computecolorhash", "colorHashSize", "custom_cmp", "custom_stub", "pixel_cmp",
    };
    for (const char *name : privateNames) {
        const std::regex word("\\b" + std::string(name) + "\\b");
        EXPECT_FALSE(std::regex_search(publicHeaders().text, word))
            << name << " is named in a public header";
        for (const auto &entry : exportedSymbols())
            EXPECT_FALSE(std::regex_search(entry.first, word))
                << name << " is exported as " << entry.first;
    }
}

}  // namespace

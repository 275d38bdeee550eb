// The installed library as its users meet it: the files that `cmake
// --install` lays down in the scratch prefix, and the small programs that the
// fixture tests build against that prefix alone (histcopy.c through
// pkg-config, cmake-project/ through find_package).
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::run;

const fs::path kPrefix = KESTRUM_PREFIX;
const fs::path kLibDir = kPrefix / KESTRUM_INSTALL_LIBDIR;
const fs::path kIncludeDir = kPrefix / KESTRUM_INSTALL_INCLUDEDIR;
const std::string kVersion = KESTRUM_VERSION;
const std::string kMajor = kVersion.substr(0, kVersion.find('.'));

std::string bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// `readelf -d`: the NEEDED libraries, SONAME, RPATH and RUNPATH of a file.
std::string dynamicSection(const fs::path &file) {
    const auto r = run(KESTRUM_READELF, {"-d", file.string()});
    EXPECT_EQ(r.status, 0) << file << ": " << r.err;
    return r.out;
}

std::set<std::string> headerNames(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".h")
            names.insert(entry.path().filename().string());
    return names;
}

// ---------------------------------------------------------------------------
// The consumer programs: each reads an image, prints "WxH maxval M: N
// colours, P pixels" and writes the image back as a PPM.

struct ImageCase {
    std::string name;
    std::string input;
    std::string summary;
    std::string output;
};

// The sample photograph must come back byte for byte; its colours are counted
// here without the library, as the oracle for the histogram.
ImageCase photographCase() {
    const std::string image = readFile(testsupport::sourcePath("examples/coffee.ppm"));
    const std::string header = "P6\n600 400\n255\n";
    EXPECT_EQ(image.substr(0, header.size()), header);
    EXPECT_EQ(image.size(), header.size() + 600 * 400 * 3);
    std::unordered_set<uint32_t> colours;
    for (size_t i = header.size(); i + 2 < image.size(); i += 3)
        colours.insert(static_cast<uint32_t>(static_cast<unsigned char>(image[i])) << 16 |
                       static_cast<uint32_t>(static_cast<unsigned char>(image[i + 1])) << 8 |
                       static_cast<unsigned char>(image[i + 2]));
    return {"photograph", image,
            "600x400 maxval 255: " + std::to_string(colours.size()) + " colours, 240000 pixels\n",
            image};
}

const std::vector<ImageCase> &imageCases() {
    static const std::vector<ImageCase> cases = {
        {"plain colour comes back raw",
         "P3\n3 2\n255\n255 0 0  0 255 0  255 0 0\n0 0 255  255 0 0  255 255 255\n",
         "3x2 maxval 255: 4 colours, 6 pixels\n",
         "P6\n3 2\n255\n" + bytes({255, 0, 0, 0, 255, 0, 255, 0, 0,
                                    0, 0, 255, 255, 0, 0, 255, 255, 255})},
        {"sixteen-bit samples keep both bytes",
         "P6\n2 1\n65535\n" + bytes({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc,
                                      0x12, 0x34, 0x56, 0x78, 0x9a, 0xbd}),
         "2x1 maxval 65535: 2 colours, 2 pixels\n",
         "P6\n2 1\n65535\n" + bytes({0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc,
                                      0x12, 0x34, 0x56, 0x78, 0x9a, 0xbd})},
        {"bilevel becomes colour with maxval 1",
         "P1\n2 2\n0 1\n1 1\n",
         "2x2 maxval 1: 2 colours, 4 pixels\n",
         "P6\n2 2\n1\n" + bytes({1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
        photographCase(),
    };
    return cases;
}

struct Consumer {
    const char *build;    // directory under KESTRUM_CONSUMER_DIR
    const char *program;
    bool shared;          // linked to libkestrum.so (else to the archive)
};

void PrintTo(const Consumer &c, std::ostream *os) { *os << c.build << '/' << c.program; }

class ConsumerProgram : public ::testing::TestWithParam<Consumer> {
protected:
    fs::path program() const {
        return fs::path(KESTRUM_CONSUMER_DIR) / GetParam().build / GetParam().program;
    }
};

TEST_P(ConsumerProgram, CopiesImagesAndCountsTheirColours) {
    for (const ImageCase &c : imageCases()) {
        SCOPED_TRACE(c.name);
        const std::string in = testsupport::temporaryFile(c.input, ".ppm");
        const std::string out = testsupport::temporaryFile("", ".ppm");
        const auto r = run(program().string(), {in, out});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, c.summary);
        EXPECT_TRUE(readFile(out) == c.output) << "the written image differs";
    }
}

// The library's messages carry the name the program started under: the
// start-up state lives in the library, not in a copy of it.
TEST_P(ConsumerProgram, ReportsErrorsUnderItsOwnName) {
    const std::string name = GetParam().program;
    const std::string badMagic = testsupport::temporaryFile("P7\n1 1\n255\n", ".ppm");
    const std::string out = testsupport::temporaryFile("", ".ppm");
    struct {
        std::vector<std::string> args;
        std::string err;
    } const cases[] = {
        {{}, "usage:  " + name + " inputfile outputfile\n"},
        {{badMagic, out}, name + ": bad magic number - not a ppm, pgm, or pbm file\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.err);
        const auto r = run(program().string(), c.args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_P(ConsumerProgram, LinksTheInstalledLibrary) {
    const std::string dynamic = dynamicSection(program());
    if (GetParam().shared) {
        // Linked by SONAME, so that a compatible update replaces the file.
        EXPECT_TRUE(contains(dynamic, "[libkestrum.so." + kMajor + "]")) << dynamic;
    } else {
        EXPECT_FALSE(contains(dynamic, "libkestrum")) << dynamic;
    }
}

std::vector<Consumer> pkgConfigConsumers() {
    std::vector<Consumer> consumers = {{"pkgconfig", "histcopy", true}};
    if (KESTRUM_STATIC_CONSUMERS)
        consumers.push_back({"pkgconfig", "histcopy-static", false});
    return consumers;
}

std::string consumerName(const ::testing::TestParamInfo<Consumer> &info) {
    return info.param.shared ? "shared" : "static";
}

INSTANTIATE_TEST_SUITE_P(PkgConfig, ConsumerProgram, ::testing::ValuesIn(pkgConfigConsumers()),
                         consumerName);
INSTANTIATE_TEST_SUITE_P(CMake, ConsumerProgram,
                         ::testing::Values(Consumer{"cmake-project", "histcopy", true},
                                           Consumer{"cmake-project", "histcopy-static", false}),
                         consumerName);

// ---------------------------------------------------------------------------
// The installed files.

TEST(InstallLayout, SharedLibraryHasVersionedSonameAndDevelopmentLink) {
    const std::string soname = "libkestrum.so." + kMajor;
    const std::string real = "libkestrum.so." + kVersion;
    ASSERT_TRUE(fs::is_symlink(kLibDir / "libkestrum.so"));
    EXPECT_EQ(fs::read_symlink(kLibDir / "libkestrum.so"), soname);
    ASSERT_TRUE(fs::is_symlink(kLibDir / soname));
    EXPECT_EQ(fs::read_symlink(kLibDir / soname), real);
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(kLibDir / real)));

    const std::string dynamic = dynamicSection(kLibDir / real);
    EXPECT_TRUE(contains(dynamic, "Library soname: [" + soname + "]")) << dynamic;
    // A search path into the build tree would outlive the build tree.
    EXPECT_FALSE(contains(dynamic, "RPATH")) << dynamic;
    EXPECT_FALSE(contains(dynamic, "RUNPATH")) << dynamic;

    EXPECT_TRUE(fs::is_regular_file(kLibDir / "libkestrum.a"));
}

TEST(InstallLayout, HeadersAreExactlyThePublicOnes) {
    const fs::path source = KESTRUM_PUBLIC_HEADERS;
    const fs::path installed = kIncludeDir / "kestrum";
    const auto names = headerNames(source);
    EXPECT_EQ(headerNames(installed), names);
    for (const auto &name : names)
        EXPECT_TRUE(readFile((installed / name).string()) == readFile((source / name).string()))
            << name << " differs from its source";
}

TEST(InstallLayout, PkgConfigFileDescribesThePrefix) {
    // Only the scratch prefix is searched, never the machine's own files.
    setenv("PKG_CONFIG_LIBDIR", (kLibDir / "pkgconfig").c_str(), 1);
    unsetenv("PKG_CONFIG_PATH");
    const std::string pkgConfig = KESTRUM_PKG_CONFIG;
    struct {
        std::vector<std::string> args;
        std::string out;
    } const cases[] = {
        {{"--modversion", "kestrum"}, kVersion},
        {{"--cflags", "kestrum"}, "-I" + kIncludeDir.string()},
        {{"--libs", "kestrum"}, "-L" + kLibDir.string() + " -lkestrum"},
        {{"--variable=libdir", "kestrum"}, kLibDir.string()},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.front());
        const auto r = run(pkgConfig, c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        // pkg-config ends its output with a blank and a line feed, or just the latter.
        std::string out = r.out;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        EXPECT_EQ(out, c.out);
    }
    // A C program linking the archive also needs the C++ runtime.
    const auto r = run(pkgConfig, {"--static", "--libs", "kestrum"});
    EXPECT_TRUE(contains(r.out, " -lstdc++")) << r.out;
}

TEST(InstallLayout, CMakePackageIsRelocatable) {
    const fs::path dir = kLibDir / "cmake" / "Kestrum";
    for (const char *file : {"KestrumConfig.cmake", "KestrumConfigVersion.cmake",
                             "KestrumTargets.cmake"})
        EXPECT_TRUE(fs::is_regular_file(dir / file)) << file;
    // Paths are computed from the files' own place, so the package still
    // works when the prefix is moved or was staged with DESTDIR.
    for (const auto &entry : fs::directory_iterator(dir)) {
        SCOPED_TRACE(entry.path().filename().string());
        const std::string text = readFile(entry.path().string());
        EXPECT_FALSE(contains(text, kPrefix.string()));
        EXPECT_FALSE(contains(text, KESTRUM_SOURCE_DIR));
    }
}

// A packager stages the files under DESTDIR; kestrum.pc must still name the
// prefix the files will finally live under.
TEST(InstallLayout, StagedInstallRecordsTheFinalPrefix) {
    std::string stage = (fs::temp_directory_path() / "kestrum-stage-XXXXXX").string();
    ASSERT_NE(mkdtemp(stage.data()), nullptr);
    setenv("DESTDIR", stage.c_str(), 1);
    const auto r = run(KESTRUM_CMAKE, {"--install", KESTRUM_BINARY_DIR, "--prefix", "/opt/kestrum",
                                       "--component", "development"});
    unsetenv("DESTDIR");
    EXPECT_EQ(r.status, 0) << r.err;
    const fs::path pc = fs::path(stage) / "opt/kestrum" / KESTRUM_INSTALL_LIBDIR / "pkgconfig/kestrum.pc";
    const std::string text = readFile(pc.string());
    EXPECT_EQ(text.rfind("prefix=/opt/kestrum\n", 0), 0u) << text;
    EXPECT_FALSE(contains(text, stage)) << text;
    fs::remove_all(stage);
}

TEST(InstallLayout, ProgramAndManualPage) {
    const fs::path program = kPrefix / KESTRUM_INSTALL_BINDIR / "quantize";
    ASSERT_TRUE(fs::is_regular_file(program));
    EXPECT_NE(fs::status(program).permissions() & fs::perms::owner_exec, fs::perms::none);
    const fs::path page = fs::path(KESTRUM_SOURCE_DIR) / "tools/quantize/quantize.1";
    if (fs::exists(page)) {
        const fs::path installed = kPrefix / KESTRUM_INSTALL_MANDIR / "man1" / "quantize.1";
        ASSERT_TRUE(fs::is_regular_file(installed));
        EXPECT_TRUE(readFile(installed.string()) == readFile(page.string()));
    }
}

// Each installed header compiles alone, as strict C99 and as C++, from the
// installed include directory only.
TEST(PublicHeaders, EachCompilesOnItsOwnAsCAndCxx) {
    const std::string include = "-I" + kIncludeDir.string();
    const auto names = headerNames(kIncludeDir / "kestrum");
    ASSERT_FALSE(names.empty());
    for (const auto &name : names) {
        const std::string source = "#include <kestrum/" + name + ">\n";
        const auto c = run(KESTRUM_C_COMPILER,
                           {"-std=c99", "-pedantic", "-Wall", "-Wextra", "-Werror",
                            "-fsyntax-only", include, "-x", "c", "-"},
                           source);
        EXPECT_EQ(c.status, 0) << name << " as C:\n" << c.err;
        const auto cxx = run(KESTRUM_CXX_COMPILER,
                             {"-std=c++11", "-pedantic", "-Wall", "-Wextra", "-Werror",
                              "-fsyntax-only", include, "-x", "c++", "-"},
                             source);
        EXPECT_EQ(cxx.status, 0) << name << " as C++:\n" << cxx.err;
    }
}

}  // namespace

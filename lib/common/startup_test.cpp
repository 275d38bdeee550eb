#include <kestrum/common.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

namespace {

using ::testing::Eq;
using ::testing::ExitedWithCode;

// argv as pm_proginit sees it: mutable strings with a final null.
struct Args {
    std::vector<std::string> text;
    std::vector<char *> argv;
    int argc;
    explicit Args(std::vector<std::string> words) : text(std::move(words)) {
        for (auto &w : text)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        argc = static_cast<int>(text.size());
    }
    std::vector<std::string> remaining() const {
        std::vector<std::string> r;
        for (int i = 0; i < argc; ++i)
            r.emplace_back(argv[i]);
        return r;
    }
};

TEST(Startup, RemovesCommonOptionsInEverySpelling) {
    Args a({"/usr/local/bin/quantize", "-QUIET", "256", "--Plain", "-q", "-quiet=1", "---quiet", "x"});
    ppm_init(&a.argc, a.argv.data());
    EXPECT_THAT(a.remaining(), ::testing::ElementsAre("/usr/local/bin/quantize", "256", "-q", "-quiet=1", "---quiet", "x"));
    EXPECT_EQ(a.argv[a.argc], nullptr);
    EXPECT_EQ(pm_plain_output, 1);
}

TEST(StartupDeath, HelpEndsThroughPmErrorEvenWhenQuiet) {
    EXPECT_EXIT(
        {
            Args a({"./bin/quantize", "-quiet", "-help"});
            pm_proginit(&a.argc, a.argv.data());
        },
        ExitedWithCode(1), Eq("quantize: Use 'man quantize' for help.\n"));
}

}  // namespace

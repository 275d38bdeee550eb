// Runs a fuzz target over files without the engine, so that a seed or a
// crasher replays as an ordinary program: fuzz_<name>_replay FILE|DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    LLVMFuzzerInitialize(&argc, &argv);
    std::set<fs::path> files;  // in order, so that a run replays alike
    for (int i = 1; i < argc; ++i)
        if (fs::is_directory(argv[i]))
            for (const auto &entry : fs::recursive_directory_iterator(argv[i]))
                entry.is_directory() ? void() : void(files.insert(entry.path()));
        else if (!fs::exists(argv[i]))
            return fprintf(stderr, "replay: cannot read %s\n", argv[i]), 1;
        else
            files.insert(argv[i]);
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    fprintf(stderr, "replay: %zu inputs run\n", files.size());
    return files.empty();
}

// Runs a fuzz target over files without the fuzzing engine, so that every
// corpus entry and every input that once broke a target can be replayed as
// an ordinary test: replay FILE|DIRECTORY...
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace {

void collect(const std::string &path, std::vector<std::string> &files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        files.push_back(path);  // reported as unreadable below
        return;
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    std::vector<std::string> names;
    while (dirent *entry = dir ? readdir(dir) : nullptr)
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    if (dir)
        closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        collect(path + "/" + name, files);
}

}  // namespace

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    int unreadable = 0;
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            ++unreadable;
            continue;
        }
        const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    fprintf(stderr, "replay: %zu inputs run\n", files.size() - unreadable);
    return unreadable == 0 && !files.empty() ? 0 : 1;
}

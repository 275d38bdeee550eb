// Reading and writing a raw 4096 x 4096 PPM (48 MiB of raster), beside a
// plain copy of the same file through stdio, the bound the readers and
// writers are measured against.
#include <kestrum/ppm.h>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kSide = 4096;

std::string temporaryPath() {
    char name[] = "/tmp/kestrum-bench-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        abort();
    close(fd);
    return name;
}

// The input image, written once per run, removed at exit.
struct Files {
    Files() : input(temporaryPath()), output(temporaryPath()) {
        std::vector<pixel> row(kSide);
        std::mt19937 random(1);
        FILE *f = fopen(input.c_str(), "wb");
        ppm_writeppminit(f, kSide, kSide, 255, 0);
        for (int r = 0; r < kSide; ++r) {
            for (pixel &p : row)
                p = {sample(random() & 255u), sample(random() & 255u), sample(random() & 255u)};
            ppm_writeppmrow(f, row.data(), kSide, 255, 0);
        }
        fclose(f);
        fileBytes = static_cast<int64_t>(static_cast<std::size_t>(kSide) * kSide * 3 + 17);
    }
    ~Files() {
        unlink(input.c_str());
        unlink(output.c_str());
    }
    std::string input, output;
    int64_t fileBytes;
};

Files &files() {
    static Files instance;
    return instance;
}

pixel **readImage(int *cols, int *rows, sample *maxval) {
    FILE *in = fopen(files().input.c_str(), "rb");
    pixel **image = ppm_readppm(in, cols, rows, maxval);
    fclose(in);
    return image;
}

void writeImage(pixel **image, int cols, int rows, sample maxval) {
    FILE *out = fopen(files().output.c_str(), "wb");
    ppm_writeppm(out, image, cols, rows, maxval, 0);
    fclose(out);
}

void BM_CopyFile(benchmark::State &state) {
    files();  // made before the clock starts
    std::vector<char> buffer(1 << 16);
    for (auto _ : state) {
        FILE *in = fopen(files().input.c_str(), "rb");
        FILE *out = fopen(files().output.c_str(), "wb");
        std::size_t n;
        while ((n = fread(buffer.data(), 1, buffer.size(), in)) > 0)
            fwrite(buffer.data(), 1, n, out);
        fclose(in);
        fclose(out);
    }
    state.SetBytesProcessed(state.iterations() * files().fileBytes);
}
BENCHMARK(BM_CopyFile)->Unit(benchmark::kMillisecond);

void BM_ReadRawPpm(benchmark::State &state) {
    files();  // made before the clock starts
    for (auto _ : state) {
        int cols, rows;
        sample maxval;
        pixel **image = readImage(&cols, &rows, &maxval);
        benchmark::DoNotOptimize(image[rows - 1][cols - 1]);
        pm_freearray(reinterpret_cast<void **>(image), rows);
    }
    state.SetBytesProcessed(state.iterations() * files().fileBytes);
}
BENCHMARK(BM_ReadRawPpm)->Unit(benchmark::kMillisecond);

void BM_WriteRawPpm(benchmark::State &state) {
    int cols, rows;
    sample maxval;
    pixel **image = readImage(&cols, &rows, &maxval);
    for (auto _ : state)
        writeImage(image, cols, rows, maxval);
    pm_freearray(reinterpret_cast<void **>(image), rows);
    state.SetBytesProcessed(state.iterations() * files().fileBytes);
}
BENCHMARK(BM_WriteRawPpm)->Unit(benchmark::kMillisecond);

// The goal: this within 4 times BM_CopyFile.
void BM_ReadWriteRawPpm(benchmark::State &state) {
    files();  // made before the clock starts
    for (auto _ : state) {
        int cols, rows;
        sample maxval;
        pixel **image = readImage(&cols, &rows, &maxval);
        writeImage(image, cols, rows, maxval);
        pm_freearray(reinterpret_cast<void **>(image), rows);
    }
    state.SetBytesProcessed(state.iterations() * files().fileBytes);
}
BENCHMARK(BM_ReadWriteRawPpm)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// The C++ counterpart of histcopy.c: reads a PBM, PGM or PPM image, reports
// its size and how many distinct colours it holds, and writes it back as a
// PPM image. The library's C interface, owned through RAII.
//
// usage: histcopy inputfile outputfile   ("-" is standard input or output)
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <cstdio>
#include <memory>
#include <numeric>

namespace {

struct HistogramFree {
    void operator()(color_count *histogram) const { ppm_freecolorhist(histogram); }
};

class Image {
public:
    explicit Image(FILE *in) { rows_ = ppm_readppm(in, &cols_, &height_, &maxval_); }
    ~Image() { pm_freearray(reinterpret_cast<void **>(rows_), height_); }
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    pixel **rows() const { return rows_; }
    int cols() const { return cols_; }
    int height() const { return height_; }
    sample maxval() const { return maxval_; }

private:
    pixel **rows_ = nullptr;
    int cols_ = 0, height_ = 0;
    sample maxval_ = 0;
};

}  // namespace

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);
    if (argc != 3)
        pm_usage("inputfile outputfile");

    FILE *in = pm_openr(argv[1]);
    const Image image(in);
    pm_close(in);

    int ncolors = 0;
    // No limit on the number of colours: this never yields null.
    const std::unique_ptr<color_count[], HistogramFree> histogram(
        ppm_computecolorhist(image.rows(), image.cols(), image.height(), 0, &ncolors));
    const long counted = std::accumulate(
        histogram.get(), histogram.get() + ncolors, 0L,
        [](long sum, const color_count &entry) { return sum + entry.value; });
    std::printf("%dx%d maxval %u: %d colours, %ld pixels\n", image.cols(), image.height(),
                static_cast<unsigned>(image.maxval()), ncolors, counted);

    FILE *out = pm_openw(argv[2]);
    ppm_writeppm(out, image.rows(), image.cols(), image.height(), image.maxval(), 0);
    pm_close(out);
    return 0;
}

// quantize: reduce an image to a few colours.
//
// Reads one PBM, PGM or PPM image (a regular file twice, other input whole),
// chooses a colour map (by median cut from the image itself, improved against
// the whole image with -refine, or the colours of a map image), then converts
// and writes the image row by row as a PPM image on standard output,
// optionally with Floyd-Steinberg dithering (from fixed starting errors with
// -seed). Progress messages go to standard error.
#include <kestrum/colormap.h>
#include <kestrum/common.h>
#include <kestrum/ppm.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "cmdline.h"
#include "fast_convert.h"
#include "floyd.h"
#include "image_output.h"
#include "out_of_memory.h"
#include "packed_colormap_source.h"
#include "packed_image.h"
#include "refine.h"
#include "streaming_histogram.h"
#include "threads.h"
#include "two_pass_input.h"

using namespace quantize;

// Images of up to this many pixels are held (128 MiB of 32-bit words) even
// from a regular file.
constexpr std::uint64_t kHeldPixels = std::uint64_t{1} << 25;

int main(int argc, char *argv[]) {
    ppm_init(&argc, argv);

    command_line_info cmdline{};
    parseCommandLine(argc, argv, &cmdline);

    // An image in a regular file is read twice instead of held, when it is
    // large or its raw bytes can be read by position on every thread: once
    // to check it and count its colours, once to convert it
    // (two_pass_input.h), in memory that does not grow with it. From other
    // input (a pipe, a terminal) such raw bytes are held as they came and
    // read the same way. Any other image (a smaller one of another form,
    // whose reading once is faster, or one to refine against all its
    // colours) is held packed and never rewritten: rescaling is a table
    // applied as each pixel is read (packed_colormap_source.h).
    FILE *file = pm_openr(cmdline.input_file_spec);
    int headerCols, headerRows;
    sample headerMaxval;
    format_code format;
    ppm_readppminit(file, &headerCols, &headerRows, &headerMaxval, &format);
    const unsigned threads = threadCount();
    // The threads that will share the work, started now to be awake when
    // it comes.
    if (inParallel(headerCols, headerRows, threads))
        keepHelpers(threads - 1);
    std::unique_ptr<TwoPassInput> twice;
    PackedImage held;
    // A held image's colours are counted as it is read, once whatever
    // halvings of the maxval they need (streaming_histogram.h).
    std::unique_ptr<StreamingHistogram> counter;
    const bool countColors = cmdline.map_file_spec == nullptr;
    if (!cmdline.refine && canReadTwice(file) &&
        (static_cast<std::uint64_t>(headerCols) * static_cast<std::uint64_t>(headerRows) > kHeldPixels ||
         readsInBands(format, headerMaxval)))
        twice = reportingOutOfMemory("allocating the image", [&] {
            return std::make_unique<TwoPassInput>(file, cmdline.input_file_spec, headerCols, headerRows,
                                                  headerMaxval, format, countColors, threads);
        });
    else if (!cmdline.refine && readsInBands(format, headerMaxval))
        twice = reportingOutOfMemory("allocating the image", [&] {
            return TwoPassInput::holdingRaster(file, cmdline.input_file_spec, headerCols, headerRows, headerMaxval,
                                               format, countColors, threads);
        });
    if (!twice)
        held = reportingOutOfMemory("allocating the image", [&] {
            if (!cmdline.refine && cmdline.map_file_spec == nullptr)
                counter = std::make_unique<StreamingHistogram>(headerMaxval);
            return readPackedRaster(file, cmdline.input_file_spec, headerCols, headerRows, headerMaxval, format,
                                    counter.get(), threads);
        });
    const int cols = twice ? twice->cols() : held.cols;
    const int rows = twice ? twice->rows() : held.rows;

    color_histogram colormap;
    int newcolors;
    sample newmaxval;
    SampleScale scale;
    if (cmdline.map_file_spec != nullptr) {
        // Only the map's distinct colours are kept, whatever its size.
        reportingOutOfMemory("generating histogram", [&] {
            computeColorMapFromMapFile(twice ? twice->maxval() : held.maxval, cmdline.map_file_spec, &colormap,
                                       &newcolors, &newmaxval, &scale);
        });
    } else if (cmdline.refine) {
        newcolors = cmdline.requested_colors;
        reportingOutOfMemory("generating histogram", [&] {
            computeRefinedColorMap(held, newcolors, &colormap, &newmaxval, &scale);
        });
    } else {
        reportingOutOfMemory("generating histogram", [&] {
            if (twice)
                twice->chooseColorMap(cmdline.requested_colors, cmdline.floyd != 0, &colormap, &newcolors,
                                      &newmaxval, &scale);
            else {
                std::vector<WideColorCount> hist;
                counter->finish(&hist, &newmaxval, &scale);
                counter.reset();
                chooseColorMap(std::move(hist), static_cast<std::uint64_t>(cols) * static_cast<std::uint64_t>(rows),
                               newmaxval, cmdline.requested_colors, cmdline.floyd != 0, &colormap, &newcolors);
            }
        });
    }

    ppm_writeppminit(stdout, cols, rows, newmaxval, 0);
    pm_message("mapping image to new colors...");

    // An image without pixels ends with its header: nothing sized by the
    // width its header claims is made, and dithering draws no starting
    // errors. Otherwise the width is borne out by the pixels already read.
    const bool anyPixels = cols > 0 && rows > 0;
    fserr_state fs{};
    const bool dither = cmdline.floyd && anyPixels;
    if (dither)
        initFserrAsAsked(&fs, cols, cmdline.seeded, cmdline.seed);
    reportingOutOfMemory("allocating the nearest-colour search", [&] {
        const std::uint64_t pixels = static_cast<std::uint64_t>(cols) * static_cast<std::uint64_t>(rows);
        FastConverter converter(colormap, newcolors, newmaxval, scale);
        converter.expectPixels(pixels);
        if (twice && !twice->inBands()) {
            twice->convertRows(converter, dither ? &fs : nullptr, newmaxval);
            twice.reset();
            return;
        }
        // Undithered, each worker converts bands of rows with a converter
        // (and caches) of its own, made here; dithered, one worker carries
        // the errors down the image while this thread writes.
        converter.prepare(dither);
        std::vector<std::unique_ptr<FastConverter>> others;
        unsigned workers = threads;
        if (!dither && inParallel(cols, rows, threads)) {
            try {
                // Only converters made whole join the workers.
                others.reserve(threads - 1);
                while (others.size() + 1 < threads) {
                    auto other = std::make_unique<FastConverter>(colormap, newcolors, newmaxval, scale,
                                                                 FastConverter::Quiet{});
                    other->expectPixels(pixels);
                    other->prepareSharing(converter);
                    others.push_back(std::move(other));
                }
            } catch (const std::bad_alloc &) {
                // Fewer workers: the same image, later.
                workers = static_cast<unsigned>(others.size()) + 1;
            }
        }
        if (dither && inParallel(cols, rows, threads))
            converter.deferMessages();
        const auto converterOf = [&](unsigned worker) -> FastConverter & {
            return worker == 0 ? converter : *others[worker - 1];
        };
        // Dithering on a worker, the colours it will meet for the first time
        // are searched beforehand on another thread.
        std::unique_ptr<FastConverter> warmer;
        std::atomic<bool> warmed{false};
        std::thread warming;
        if (dither && inParallel(cols, rows, threads)) {
            try {
                warmer = std::make_unique<FastConverter>(colormap, newcolors, newmaxval, scale, FastConverter::Quiet{});
                if (warmer->makeWarmTable()) {
                    converter.readWarmTable(*warmer);
                    warming = std::thread([&] {
                        try {
                            warmer->warmAll(warmed);
                        } catch (const std::bad_alloc &) {
                            // the worker searches the rest: the same image
                        }
                    });
                }
            } catch (const std::exception &) {
                // no memory or no thread for it: the worker searches alone
            }
        }
        struct StopWarming {
            std::atomic<bool> &stop;
            std::thread &thread;
            ~StopWarming() {
                stop = true;
                if (thread.joinable())
                    thread.join();
            }
        } stopWarming{warmed, warming};
        if (twice) {
            twice->convertBands(workers, dither ? &fs : nullptr, newmaxval, converterOf);
            twice.reset();
            return;
        }
        convertAndWriteRows(cols, rows, newmaxval, workers, dither,
                            [&](unsigned worker, int firstRow, int count, BandOut &out) {
                                FastConverter &c = converterOf(worker);
                                held.dispatch([&](auto word) {
                                    for (int r = 0; r < count; ++r)
                                        c.convert(held.row<decltype(word)>(firstRow + r), cols,
                                                  out.pixels + static_cast<std::size_t>(r) * static_cast<std::size_t>(cols),
                                                  dither ? &fs : nullptr);
                                });
                                return c.takeMessage();
                            });
    });

    closeOutput();

    if (dither)
        freeFserr(&fs);
    ppm_freecolorhist(colormap);
    return 0;
}

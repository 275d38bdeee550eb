#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Small valid files of every format (plain and raw), maxval class (one-byte
and two-byte samples, 1, 0 and 65535) and header style (comments, tabs and
carriage returns, no separator after the magic number, a comment after the
last header integer), multi-image streams, crops of the sample photographs,
and argument vectors for the option parser. Run it again after changing it:
  fuzz/make_corpus.py [SAMPLE_IMAGES_DIR]
"""
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def ppm_p6(w, h, maxval, pixels, sep=b"\n"):
    head = b"P6" + sep + b"%d %d" % (w, h) + sep + b"%d\n" % maxval
    wide = maxval > 255
    body = bytearray()
    for p in pixels:
        for s in p:
            body += s.to_bytes(2, "big") if wide else bytes([s])
    return head + bytes(body)


def ppm_p3(w, h, maxval, pixels, comment=False):
    head = b"P3\n" + (b"# a comment\n" if comment else b"") + b"%d %d\n%d\n" % (w, h, maxval)
    return head + b"\n".join(b"%d %d %d" % p for p in pixels) + b"\n"


def pgm(w, h, maxval, samples, raw=True):
    if not raw:
        return b"P2\n%d %d\n%d\n" % (w, h, maxval) + b" ".join(b"%d" % s for s in samples) + b"\n"
    wide = maxval > 255
    body = b"".join(s.to_bytes(2, "big") if wide else bytes([s]) for s in samples)
    return b"P5\n%d %d\n%d\n" % (w, h, maxval) + body


def pbm(w, h, bits, raw=True):
    if not raw:
        return b"P1\n%d %d\n" % (w, h) + b"".join(b"%d" % b for b in bits) + b"\n"
    body = bytearray()
    for y in range(h):
        row = bits[y * w:(y + 1) * w]
        for x in range(0, w, 8):
            byte = 0
            for i, b in enumerate(row[x:x + 8]):
                byte |= b << (7 - i)
            body.append(byte)
    return b"P4\n%d %d\n" % (w, h) + bytes(body)


def gradient(w, h, maxval):
    return [((x * maxval) // max(w - 1, 1), (y * maxval) // max(h - 1, 1),
             ((x + y) * maxval) // max(w + h - 2, 1)) for y in range(h) for x in range(w)]


def crop(path, x0, y0, w, h):
    data = open(path, "rb").read()
    fields, pos = [], 2
    while len(fields) < 3:
        while data[pos:pos + 1].isspace():
            pos += 1
        start = pos
        while data[pos:pos + 1].isdigit():
            pos += 1
        fields.append(int(data[start:pos]))
    width, _, maxval = fields
    raster = data[pos + 1:]
    pixels = []
    for y in range(y0, y0 + h):
        for x in range(x0, x0 + w):
            i = 3 * (y * width + x)
            pixels.append(tuple(raster[i:i + 3]))
    return w, h, maxval, pixels


def images(samples_dir):
    """Every small image, keyed by a short description."""
    out = {}
    g8 = gradient(4, 3, 255)
    out["p6-maxval255"] = ppm_p6(4, 3, 255, g8)
    out["p6-maxval1000"] = ppm_p6(3, 2, 1000, gradient(3, 2, 1000))
    out["p6-maxval65535"] = ppm_p6(2, 2, 65535, gradient(2, 2, 65535))
    out["p6-maxval1"] = ppm_p6(3, 3, 1, gradient(3, 3, 1))
    out["p6-maxval0"] = ppm_p6(2, 1, 0, [(0, 0, 0)] * 2)
    out["p6-no-separator"] = b"P61 1 255\n\x10\x20\x30"
    out["p6-tabs-cr"] = b"P6\t2\r1\t255\r" + bytes(range(6))
    out["p6-comment-after-maxval"] = b"P6 1 1 255#raster next\n" + b"abc"
    out["p6-comment-in-header"] = b"P6\n# made by hand\n2 # width\n1\n255\n" + bytes(6)
    out["p6-empty"] = b"P6 0 0 255\n"
    out["p6-width0"] = b"P6 0 3 255\n"
    out["p3-maxval255"] = ppm_p3(4, 3, 255, g8, comment=True)
    out["p3-maxval65535"] = ppm_p3(2, 2, 65535, gradient(2, 2, 65535))
    out["p3-letter-separators"] = b"P3 2x1,255\n1 2 3,4 5 6\n"
    out["p5-maxval255"] = pgm(4, 2, 255, [0, 50, 100, 255, 7, 8, 9, 10])
    out["p5-maxval65535"] = pgm(2, 2, 65535, [0, 256, 4095, 65535])
    out["p2-maxval15"] = pgm(3, 2, 15, [0, 5, 15, 1, 2, 3], raw=False)
    out["p2-comments"] = b"P2\n#c\n2 2\n#c\n9\n1 #c\n2\n3\r4\n"
    bits = [1, 0, 0, 1, 1, 1, 0, 0, 0, 1] * 2
    out["p4-width10"] = pbm(10, 2, bits)
    out["p4-width8"] = pbm(8, 1, [1, 0, 0, 0, 0, 0, 0, 0])
    out["p1-width10"] = pbm(10, 2, bits, raw=False)
    out["p1-no-separators"] = b"P1 4 1 0110\n"
    out["p1-comment-in-raster"] = b"P1\n3 2\n1 0#c\n1\n0 1 0\n"
    out["multi-p6-p5"] = out["p6-maxval255"] + b"\n" + out["p5-maxval255"]
    out["multi-p3-p1"] = out["p3-maxval255"] + out["p1-width10"]
    for name in ("chelsea", "coffee"):
        path = os.path.join(samples_dir, name + ".ppm")
        if os.path.exists(path):
            w, h, maxval, px = crop(path, 150, 100, 12, 10)
            out[name + "-crop-raw"] = ppm_p6(w, h, maxval, px)
            out[name + "-crop-plain"] = ppm_p3(w, h, maxval, px[:30] and px, comment=False)
    return out


def options_quantize():
    vectors = [
        ["8"], ["8", "-"], ["-floyd", "16", "in.ppm"], ["-fs", "-fs", "2"], ["-nofs", "4"],
        ["-fs", "-nofs", "4"], ["-mapfile", "map.ppm"], ["-m=map.ppm", "in.ppm"],
        ["--mapfile", "map.ppm", "a", "b"], ["--", "-3"], ["+8"], [" 8"], ["8x"], ["0"], ["1"],
        [""], ["99999999999"], ["-quiet", "-plain", "16", "file"], ["-version"], ["--help"],
        ["-floyd=1", "8"], ["-x"], ["-mapfile"], ["1", "2", "3"],
    ]
    return {"args-%02d" % i: b"\0".join(a.encode() for a in v) for i, v in enumerate(vectors)}


def options_table():
    vectors = [
        (1, ["-f", "-sabc", "-i", "12", "file"]), (1, ["-fi12", "-x1.5e3", "--ulong", "-1"]),
        (3, ["-i", "-5", "-5"]), (0, ["-int=5", "-string", "x=y", "--float=1e40"]),
        (0, ["--fstring=v", "--fint", "7", "--ffloat", "nan"]), (1, ["-vq"]),
        (1, ["-k", "-kk", "-q", "2.5"]), (0, ["--noshortname-and-a-name-longer-than-the-display-buffer=3"]),
        (4, ["-f", "--long=-9223372036854775808", "x"]), (8, ["-fs", "v", "--uint", "4294967296"]),
        (16, ["--int", "12abc"]), (17, ["-i"]), (0, ["--", "-f", "-"]), (1, ["-", "-Ltext"]),
        (0, ["--nul", "1", "--nulls", "t"]), (9, ["-fF", "-S", "s", "-Ug1", "-G2"]),
    ]
    return {"args-%02d" % i: bytes([sel]) + b"\0".join(a.encode() for a in v)
            for i, (sel, v) in enumerate(vectors)}


def tokens():
    texts = [
        b"P6 1 1 255\n", b"P3\n# comment\n3 2\n255\n", b"12#x\n34 ", b"2147483640 ",
        b"2147483641 ", b"2147483632 ", b"0007\t\r\n8,", b"#only a comment", b"\v1 ", b"-1 ",
        b"P6", b"P", b"", b"3x2 255\n", b"1 2 3\r# c\r4 ",
    ]
    out = {}
    for i, t in enumerate(texts):
        for sel in (0, 1, 2, 0b11100111, 0b01101111):
            out["tok-%02d-%02x" % (i, sel)] = bytes([sel]) + t
    return out


def write(target, entries):
    directory = os.path.join(CORPUS, target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in sorted(entries.items()):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


def main():
    samples = sys.argv[1] if len(sys.argv) > 1 else os.environ.get(
        "KESTRUM_SAMPLE_IMAGES", "/work/shared/images")
    imgs = images(samples)
    write("ppm_reader", imgs)
    gray = {}
    for name, data in imgs.items():
        if data[:2] in (b"P1", b"P4", b"P2", b"P5"):
            gray["gray-" + name] = b"\0" + data
        if data[:2] in (b"P1", b"P4"):
            gray["bits-" + name] = b"\1" + data
    gray["bits-p4-short"] = b"\1P4 16 2\n\xff\xff\x01"
    write("gray_reader", gray)
    write("tokens", tokens())
    write("options_quantize", options_quantize())
    write("options_table", options_table())
    runs = {}
    for name in ("p6-maxval255", "p6-maxval1000", "p3-maxval255", "p5-maxval255", "p1-width10",
                 "chelsea-crop-raw", "coffee-crop-raw", "p6-empty", "p6-width0"):
        if name not in imgs:
            continue
        img = imgs[name]
        runs["q-%s" % name] = bytes([0, 6]) + img
        runs["q-floyd-%s" % name] = bytes([1, 2]) + img
        runs["q-plain-%s" % name] = bytes([4, 0]) + img
        mp = imgs["p6-maxval1"] if "crop" in name else imgs["p3-maxval255"]
        runs["q-map-%s" % name] = bytes([2, 0]) + len(mp).to_bytes(2, "big") + mp + img
        runs["q-map-floyd-%s" % name] = bytes([3, 0]) + len(mp).to_bytes(2, "big") + mp + img
    write("quantize_pipeline", runs)


if __name__ == "__main__":
    main()

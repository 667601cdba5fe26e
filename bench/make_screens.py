#!/usr/bin/python3
"""Screenshot-like images with exact ground truth, drawn with the vips CLI.

usage: make_screens.py OUT_DIR [SEED]
Writes OUT_DIR/STEM.{png,jpg} and OUT_DIR/STEM.txt (the lines drawn, one a
line), plus startup.png (one line on 400 x 100) and photo.jpg (a 12-megapixel
photo-like JPEG) and scan.jpg (a 600 dpi A4 colour scan) for the start-up and
memory figures. A different SEED gives
a held-back set of the same kinds.
"""
import os, random, struct, subprocess, sys, tempfile

FONTS = ["DejaVu Sans", "DejaVu Serif", "DejaVu Sans Mono", "Liberation Sans", "Liberation Serif"]
SIZES = [10, 11, 12, 13, 14, 16, 20, 28, 48]
# name: (text colour, background), colours as "#rrggbb"; None is transparent.
STYLES = {
    "light": ("#000000", "#ffffff"),
    "dark": ("#d4d4d4", "#1e1e1e"),
    "darkblue": ("#ffffff", "#2b5797"),
    "coloured": ("#0b61a4", "#fff8dc"),
    "red": ("#c62828", "#fafafa"),
    "grey": ("#8a8a8a", "#ffffff"),
    "lowcontrast": ("#6e6e6e", "#c8c8c8"),
    "transparent": ("#202020", None),
}
# (kind, style, format); format png, jpgQ or exif (a JPEG stored sideways
# with an EXIF orientation saying how to turn it upright).
KINDS = [
    ("light", "light", "png"), ("dark", "dark", "png"), ("dark-button", "darkblue", "png"),
    ("coloured", "coloured", "png"), ("red", "red", "png"), ("grey", "grey", "png"),
    ("lowcontrast", "lowcontrast", "png"), ("transparent", "transparent", "png"),
    ("jpeg-q30", "light", "jpg30"), ("jpeg-q60", "dark", "jpg60"), ("jpeg-q90", "coloured", "jpg90"),
    ("exif-rotated", "light", "exif"),
]
WORDS = ("Save Cancel Open File Edit View Help Settings Privacy Account Profile Search Downloads Updates "
         "Network Display Sound Battery Notifications Messages Calendar Photos Music Library Recent "
         "Shared Documents Desktop Trash General Advanced Security Password Username Sign in out "
         "Continue Back Next Finish Install Remove Restart Preview Export Import Print Share "
         "the a to of and for with your this new all last from now today yesterday".split())
EXTRAS = ["3 files", "24.5 MB", "10:42 AM", "$12.99", "v2.4.1", "98%", "(2)", "user@example.com",
          "2024-03-18", "Page 4 of 12", "#1024", "1,280 x 720", "50 GB free", "Ctrl+S", "No.7"]


def run(*args):
    subprocess.run(["vips", *map(str, args)], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def line(rng):
    words = [rng.choice(WORDS) for _ in range(rng.randint(1, 5))]
    if rng.random() < 0.5:
        words.insert(rng.randint(0, len(words)), rng.choice(EXTRAS))
    words[0] = words[0][0].upper() + words[0][1:]
    return " ".join(words)


def rgb(colour):
    return " ".join(str(int(colour[i:i + 2], 16)) for i in (1, 3, 5))


def exif_orientation_jpeg(path, orientation):
    """Puts an EXIF block holding only the orientation tag after the JPEG's SOI."""
    tiff = b"MM\x00\x2a" + struct.pack(">I", 8) + struct.pack(">H", 1)
    tiff += struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0) + struct.pack(">I", 0)
    payload = b"Exif\x00\x00" + tiff
    data = open(path, "rb").read()
    with open(path, "wb") as out:
        out.write(data[:2] + b"\xff\xe1" + struct.pack(">H", len(payload) + 2) + payload + data[2:])


def draw(path_stem, lines, font, size, style, fmt, tmp):
    colour, background = STYLES[style]
    markup = "\n".join(f'<span foreground="{colour}">{l.replace("&", "&amp;").replace("<", "&lt;")}</span>'
                       for l in lines)
    text = os.path.join(tmp, "text.v")
    run("text", text, markup, "--font", f"{font} {size}", "--rgba", "--spacing", int(size * 1.9))
    margin = max(8, size)
    framed = os.path.join(tmp, "framed.v")
    # Margins as wide as a window's padding; the text image is tight.
    width = int(subprocess.check_output(["vipsheader", "-f", "width", text])) + 2 * margin + 40
    height = int(subprocess.check_output(["vipsheader", "-f", "height", text])) + 2 * margin
    run("embed", text, framed, margin, margin, width, height)
    if background is None:
        out = path_stem + ".png"
        run("copy", framed, out)
        return out
    flat = os.path.join(tmp, "flat.v")
    run("flatten", framed, flat, "--background", rgb(background))
    if fmt == "png":
        out = path_stem + ".png"
        run("copy", flat, out)
        return out
    out = path_stem + ".jpg"
    if fmt == "exif":
        turned = os.path.join(tmp, "turned.v")
        run("rot", flat, turned, "d270")
        run("jpegsave", turned, out, "--Q", 90, "--strip")
        exif_orientation_jpeg(out, 6)  # turn 90 degrees clockwise to view
    else:
        run("jpegsave", flat, out, "--Q", int(fmt[3:]), "--strip")
    return out


def main():
    out_dir = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    rng = random.Random(seed)
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        for number, (kind, style, fmt) in enumerate(KINDS * 3):
            # Every kind gets one small size (10-13 px), one middling, one any.
            size = rng.choice(SIZES[:4] if number < len(KINDS) else SIZES[4:7] if number < 2 * len(KINDS) else SIZES)
            font = FONTS[number % len(FONTS)]
            lines = [line(rng) for _ in range(rng.randint(3, 6))]
            stem = os.path.join(out_dir, f"{kind}_{size:02d}px_{number:02d}")
            draw(stem, lines, font, size, style, fmt, tmp)
            open(stem + ".txt", "w").write("\n".join(lines) + "\n")
        startup = os.path.join(tmp, "startup.v")
        run("text", startup, "Settings saved 10:42 AM", "--font", "DejaVu Sans 24")
        run("invert", startup, startup.replace("startup", "inverted"))
        run("gravity", startup.replace("startup", "inverted"), os.path.join(out_dir, "startup.png"), "centre", 400,
            100, "--background", 255)
        # A 12-megapixel photo-like picture: smooth blotches, grain in green.
        noise, blurred, photo = (os.path.join(tmp, name) for name in ("noise.v", "blurred.v", "photo.v"))
        run("gaussnoise", noise, 4000, 3000, "--mean", 128, "--sigma", 60)
        run("gaussblur", noise, blurred, 6)
        run("bandjoin", f"{blurred} {noise} {blurred}", photo)
        run("jpegsave", photo, os.path.join(out_dir, "photo.jpg"), "--Q", 85)
        # A small receipt scanned at 600 dpi on A4 in colour: 4961 x 7016,
        # cream paper, a few lines of print near the top left.
        receipt, placed, paper, scan = (os.path.join(tmp, name) for name in
                                        ("receipt.v", "placed.v", "paper.v", "scan.v"))
        run("text", receipt, "CORNER STORE\nMilk 2L        3.49\nBread          2.99\nTOTAL          6.48",
            "--font", "DejaVu Sans Mono 10", "--dpi", 600)
        run("invert", receipt, placed)
        run("embed", placed, paper, 700, 900, 4961, 7016, "--extend", "white")
        run("linear", paper, scan, "1 0.98 0.92", "0", "--uchar")
        run("jpegsave", scan, os.path.join(out_dir, "scan.jpg"), "--Q", 90)


if __name__ == "__main__":
    main()

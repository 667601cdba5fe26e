#!/usr/bin/python3
"""Real browser screenshots of the pages in bench/browser, with their truth.

usage: make_browser_screens.py OUT_DIR [PAGE...]
Renders every page (or the PAGEs named, without .html) with Debian's chromium
headless, in the light and the dark theme, at device scale 1 and 2, and writes
OUT_DIR/PAGE_THEME_SCALEx_FORMAT.{png,jpg} with OUT_DIR/<same stem>.txt beside
it: the lines a person reads on the shot, one a line. One of the four shots of
each page, a different one from page to page, is stored as a JPEG of quality
80, the rest as PNG. Each page is shot once more laid out on a whole
1920x1080 screen, as PAGE-wide_...: the same text, spread over a page much
larger than its lines, in one of the four themes and scales.

The truth comes from the same browser run as the shot: bench/browser/truth.js,
which every page includes, reads the laid-out words back from the page (see
that file for how lines and reading order are told), so it is exactly what was
drawn, hidden text left out.
"""
import concurrent.futures, html.parser, json, os, re, shutil, subprocess, sys, tempfile

PAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "browser")
THEMES = ("light", "dark")
SCALES = (1, 2)
JPEG_QUALITY = 80
SCREEN = (1920, 1080)
WIDE = "-wide"
CHROMIUM = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--hide-scrollbars", "--dump-dom"]


class Truth(html.parser.HTMLParser):
    """Takes data-truth off the <html> element of a dumped DOM."""

    def __init__(self):
        super().__init__()
        self.value = None

    def handle_starttag(self, tag, attrs):
        if tag == "html" and self.value is None:
            self.value = dict(attrs).get("data-truth")


def size_of(page):
    found = re.search(r'<html[^>]*\bdata-size="(\d+)x(\d+)"', open(os.path.join(PAGES, page + ".html")).read())
    if not found:
        sys.exit(f"{page}.html: no data-size on <html>")
    return int(found[1]), int(found[2])


def render(page, theme, scale, fmt, out_dir, wide):
    """Shoots one page, on the whole screen when `wide`; returns (stem, lines)."""
    width, height = SCREEN if wide else size_of(page)
    stem = f"{page}{WIDE if wide else ''}_{theme}_{scale}x_{fmt}"
    url = f"file://{os.path.join(PAGES, page)}.html?theme={theme}"
    if wide:
        url += f"&size={width}x{height}"
    with tempfile.TemporaryDirectory() as tmp:
        shot = os.path.join(tmp, "shot.png")
        argv = CHROMIUM + [f"--user-data-dir={tmp}/profile", f"--window-size={width},{height}",
                           f"--force-device-scale-factor={scale}", f"--screenshot={shot}", url]
        for attempt in range(3):
            try:
                done = subprocess.run(argv, capture_output=True, timeout=90, check=False)
            except subprocess.TimeoutExpired:
                continue
            if done.returncode == 0 and os.path.exists(shot):
                break
        else:
            sys.exit(f"{stem}: chromium failed: {done.stderr.decode(errors='replace')[-2000:]}")
        parser = Truth()
        parser.feed(done.stdout.decode("utf-8", "replace"))
        if parser.value is None:
            sys.exit(f"{stem}: the page wrote no truth (is truth.js included?)")
        truth = json.loads(parser.value)
        if "error" in truth:
            sys.exit(f"{stem}: {truth['error']}")
        lines = [" ".join(line.split()) for line in truth["lines"]]
        lines = [line for line in lines if line]
        shape = subprocess.check_output(["vipsheader", "-f", "width", shot]).split() + \
            subprocess.check_output(["vipsheader", "-f", "height", shot]).split()
        if list(map(int, shape)) != [width * scale, height * scale]:
            sys.exit(f"{stem}: shot is {b'x'.join(shape).decode()}, want {width * scale}x{height * scale}")
        image = os.path.join(out_dir, f"{stem}.{fmt}")
        if fmt == "png":
            shutil.copyfile(shot, image)
        else:
            subprocess.run(["vips", "jpegsave", shot, image, "--Q", str(JPEG_QUALITY), "--strip"], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(out_dir, stem + ".txt"), "w") as truth_file:
        truth_file.write("\n".join(lines) + "\n")
    return stem, lines


def main():
    out_dir = sys.argv[1]
    pages = sys.argv[2:] or sorted(n[:-5] for n in os.listdir(PAGES) if n.endswith(".html"))
    os.makedirs(out_dir, exist_ok=True)
    jobs = []
    for number, page in enumerate(pages):
        for variant, (theme, scale) in enumerate((t, s) for t in THEMES for s in SCALES):
            jobs.append((page, theme, scale, "jpg" if variant == number % 4 else "png", out_dir, False))
        theme, scale = THEMES[number % 2], SCALES[number // 2 % 2]
        jobs.append((page, theme, scale, "png", out_dir, True))
    # Chromium waits on itself more than it computes: two at a time per core.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1)) as pool:
        done = list(pool.map(lambda job: render(*job), jobs))
    by_page = {}
    for (page, *_, wide), (stem, lines) in zip(jobs, done):
        by_page.setdefault(page + (WIDE if wide else ""), {})[stem] = lines
    for page, shots in by_page.items():
        if len({tuple(lines) for lines in shots.values()}) > 1:
            print(f"make_browser_screens: note: {page} reads differently across themes or scales", file=sys.stderr)


if __name__ == "__main__":
    main()

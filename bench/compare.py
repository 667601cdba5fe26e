#!/usr/bin/python3
"""tarnwick against `OMP_THREAD_LIMIT=1 tesseract IMG stdout`, image by image.

usage: compare.py TARNWICK OUT_DIR [--documents DIR] [--screens DIR] [--browser DIR] [--receipts DIR]
                  [--plot PNG]
Scores each set given, in that order:
  documents  images with STEM.truth.hocr beside them: word F1 (../shared/bench/wordscore.py)
  screens    the drawn screenshot set (make_screens.py): character error rate and exact-line
             recall, plus the start-up and 12-megapixel photo figures from its startup.png and photo.jpg
  browser    the browser screenshot set (make_browser_screens.py): the same figures as the screens,
             by page and by theme, scale and format
  receipts   receipt-NN.jpg with receipt-NN.txt truth: normalized word F1 and line recall
             (../shared/bench/receiptscore.py)
Each image is read by both systems in turn, the order swapping from one image
to the next, so a slow spell on the machine falls on both alike. Prints a
Markdown table (also written to OUT_DIR/table.md) and per-image figures to
OUT_DIR/images.tsv; the recognized text goes to OUT_DIR/{tarnwick,cli} (documents)
and OUT_DIR/SET/{tarnwick,cli} (browser, receipts).
"""
import argparse, json, os, re, statistics, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
SCORER = os.path.join(HERE, "../../shared/bench/wordscore.py")
RECEIPT_SCORER = os.path.join(HERE, "../../shared/bench/receiptscore.py")
SYSTEMS = ("tarnwick", "cli")
# Absolute figures, or, for the *_gain ones, points above the command line's.
TARGETS = {"speed": 0.7, "startup": 1.1, "f1_gain": 2.0, "cer": 2.0, "recall": 90.0, "doc_mb": 250,
           "photo_mb": 400, "scan_mb": 300, "receipt_f1_gain": 8.0, "receipt_recall_gain": 10.0, "receipt_speed": 1.0}
BROWSER_NAME = re.compile(r"(?P<page>[a-z0-9-]+)_(?P<theme>light|dark)_(?P<scale>\d)x_(?P<format>png|jpg)\.(png|jpg)")


def command(system, tool, image):
    if system == "tarnwick":
        return [tool, image], {}
    return ["tesseract", image, "stdout"], {"OMP_THREAD_LIMIT": "1"}


def run(system, tool, image):
    """(text, wall seconds, peak RSS in MB) of one run."""
    argv, extra = command(system, tool, image)
    with tempfile.NamedTemporaryFile("r") as usage:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", usage.name, *argv], capture_output=True,
                              env={**os.environ, **extra}, check=False)
        seconds = time.perf_counter() - start
        rss = int(usage.read().split()[-1]) / 1024
    out = done.stdout.decode("utf-8", "replace")
    if system == "tarnwick":
        if done.stderr:
            sys.exit(f"tarnwick wrote to standard error on {image}")
        out = json.loads(out)["text"]
    return out, seconds, rss


def lines_of(text):
    return [" ".join(l.split()) for l in text.splitlines() if l.strip()]


def edit_distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (ca != cb))
    return row[-1]


def screen_scores(truth, text):
    """(character error rate, exact-line recall), in percent."""
    want, got = lines_of(truth), lines_of(text)
    joined = "\n".join(want)
    cer = 100 * edit_distance(joined, "\n".join(got)) / len(joined)
    left = list(got)
    found = 0
    for line in want:
        if line in left:
            left.remove(line)
            found += 1
    return cer, 100 * found / len(want)


def images(directory, pattern):
    return sorted(os.path.join(directory, n) for n in os.listdir(directory) if re.fullmatch(pattern, n))


def alternate(tool, paths, each):
    """Runs both systems on every path, alternating which goes first; `each`
    gets (system, path, text, seconds, rss)."""
    for number, path in enumerate(paths):
        for system in SYSTEMS if number % 2 == 0 else SYSTEMS[::-1]:
            each(system, path, *run(system, tool, path))


def mean(values):
    return sum(values) / len(values)


def verdict(ok):
    return "met" if ok else "**not met**"


def save(directory, system, stem, text):
    os.makedirs(os.path.join(directory, system), exist_ok=True)
    with open(os.path.join(directory, system, stem + ".txt"), "w") as f:
        f.write(text)


class Bench:
    def __init__(self, tool, out):
        self.tool, self.out = tool, out
        self.rows = []  # [set, system, image, accuracy figures, seconds, rss]
        self.summary = {s: {} for s in SYSTEMS}
        self.table, self.details = [], []

    def pick(self, kind, system):
        return [r for r in self.rows if r[0] == kind and r[1] == system]

    def figures(self, kind):
        """The two systems' figures for one set: (tarnwick's, the command line's)."""
        return self.summary["tarnwick"].setdefault(kind, {}), self.summary["cli"].setdefault(kind, {})

    def documents(self, directory):
        def document(system, path, text, seconds, rss):
            stem = os.path.basename(path).split(".")[0]
            save(self.out, system, stem, text)
            self.rows.append(["documents", system, stem, {}, seconds, rss])

        alternate(self.tool, images(directory, r"[^.]+\.(png|jpg)"), document)
        for system in SYSTEMS:
            scored = subprocess.check_output([sys.executable, SCORER, directory, os.path.join(self.out, system)],
                                             text=True)
            f1 = {m[0]: float(m[1]) for m in re.findall(r"^(\S+)\s+f1=\s*([\d.]+)%", scored, re.M)}
            for row in self.pick("documents", system):
                row[3] = {"f1": f1[row[2]]}
            docs = self.pick("documents", system)
            self.summary[system]["documents"] = {"accuracy": mean([r[3]["f1"] for r in docs]),
                                                 "seconds": sum(r[4] for r in docs), "mb": max(r[5] for r in docs)}
        t, c = self.figures("documents")
        speed = t["seconds"] / c["seconds"]
        gain = TARGETS["f1_gain"]
        self.table += [
            f"| documents: mean word F1 ({len(self.pick('documents', 'cli'))}) | {t['accuracy']:.1f} % "
            f"| {c['accuracy']:.1f} % | ≥ CLI + {gain:g}: {verdict(t['accuracy'] >= c['accuracy'] + gain)} |",
            f"| documents: total wall time | {t['seconds']:.1f} s ({speed:.2f}) | {c['seconds']:.1f} s (1.00) "
            f"| ≤ {TARGETS['speed']:g}: {verdict(speed <= TARGETS['speed'])} |",
            f"| documents: highest peak RSS | {t['mb']:.0f} MB | {c['mb']:.0f} MB "
            f"| ≤ {TARGETS['doc_mb']} MB: {verdict(t['mb'] <= TARGETS['doc_mb'])} |",
        ]
        self.details += ["", "| document | tarnwick F1 | CLI F1 | tarnwick s | CLI s | tarnwick MB | CLI MB |",
                         "|---|---|---|---|---|---|---|"]
        for mine, theirs in zip(self.pick("documents", "tarnwick"), self.pick("documents", "cli")):
            self.details.append(f"| {mine[2]} | {mine[3]['f1']:.1f} | {theirs[3]['f1']:.1f} | {mine[4]:.2f} "
                                f"| {theirs[4]:.2f} | {mine[5]:.0f} | {theirs[5]:.0f} |")

    def score_screens(self, kind, paths, keep=None):
        def screen(system, path, text, seconds, rss):
            truth = open(os.path.splitext(path)[0] + ".txt").read()
            cer, recall = screen_scores(truth, text)
            if keep:
                save(keep, system, os.path.splitext(os.path.basename(path))[0], text)
            self.rows.append([kind, system, os.path.basename(path), {"cer": cer, "recall": recall}, seconds, rss])

        alternate(self.tool, paths, screen)
        for system in SYSTEMS:
            scr = self.pick(kind, system)
            self.summary[system][kind] = {"cer": mean([r[3]["cer"] for r in scr]),
                                          "recall": mean([r[3]["recall"] for r in scr]),
                                          "seconds": sum(r[4] for r in scr)}
            self.summary[system][kind]["accuracy"] = 100 - self.summary[system][kind]["cer"]

    def by_group(self, kind, title, group):
        """A table of both systems' CER and line recall over the images `group` puts together."""
        table = ["", f"| {title} | images | tarnwick CER | CLI CER | tarnwick line recall | CLI line recall |",
                 "|---|---|---|---|---|---|"]
        names = sorted({group(r[2]) for r in self.pick(kind, "cli")})
        for name in names:
            mine = [r[3] for r in self.pick(kind, "tarnwick") if group(r[2]) == name]
            theirs = [r[3] for r in self.pick(kind, "cli") if group(r[2]) == name]
            table.append(f"| {name} | {len(mine)} | {mean([a['cer'] for a in mine]):.1f} % "
                         f"| {mean([a['cer'] for a in theirs]):.1f} % | {mean([a['recall'] for a in mine]):.0f} % "
                         f"| {mean([a['recall'] for a in theirs]):.0f} % |")
        return table

    def screens(self, directory):
        self.score_screens("screens", images(directory, r"[a-z].*_\d+px_\d+\.(png|jpg)"))
        for system in SYSTEMS:
            scr = self.pick("screens", system)
            self.summary[system]["screens"]["small_recall"] = mean(
                [r[3]["recall"] for r in scr if int(re.search(r"_(\d+)px", r[2])[1]) <= 13])
        startup = {s: [] for s in SYSTEMS}
        alternate(self.tool, [os.path.join(directory, "startup.png")] * 7,
                  lambda s, p, t, sec, rss: startup[s].append(sec))
        photo, scan = {}, {}
        alternate(self.tool, [os.path.join(directory, "photo.jpg")],
                  lambda s, p, t, sec, rss: photo.update({s: (sec, rss)}))
        alternate(self.tool, [os.path.join(directory, "scan.jpg")],
                  lambda s, p, t, sec, rss: scan.update({s: (sec, rss)}))
        t, c = self.figures("screens")
        start = statistics.median(startup["tarnwick"]) / statistics.median(startup["cli"])
        self.table += [
            f"| screens: mean character error rate ({len(self.pick('screens', 'cli'))}) | {t['cer']:.1f} % "
            f"| {c['cer']:.1f} % | ≤ {TARGETS['cer']:g} %: {verdict(t['cer'] <= TARGETS['cer'])} |",
            f"| screens: exact-line recall | {t['recall']:.1f} % | {c['recall']:.1f} % "
            f"| ≥ {TARGETS['recall']:g} %: {verdict(t['recall'] >= TARGETS['recall'])} |",
            f"| screens: exact-line recall, 10-13 px text | {t['small_recall']:.1f} % | {c['small_recall']:.1f} % | |",
            f"| screens: total wall time | {t['seconds']:.1f} s | {c['seconds']:.1f} s | |",
            f"| start-up: one line on 400 x 100, median of 7 | {statistics.median(startup['tarnwick']):.3f} s "
            f"({start:.2f}) | {statistics.median(startup['cli']):.3f} s (1.00) "
            f"| ≤ {TARGETS['startup']:g}: {verdict(start <= TARGETS['startup'])} |",
            f"| 12-megapixel photo: peak RSS | {photo['tarnwick'][1]:.0f} MB ({photo['tarnwick'][0]:.1f} s) "
            f"| {photo['cli'][1]:.0f} MB ({photo['cli'][0]:.1f} s) "
            f"| ≤ {TARGETS['photo_mb']} MB: {verdict(photo['tarnwick'][1] <= TARGETS['photo_mb'])} |",
            f"| 600 dpi A4 colour scan (4961 x 7016): peak RSS | {scan['tarnwick'][1]:.0f} MB "
            f"({scan['tarnwick'][0]:.1f} s) | {scan['cli'][1]:.0f} MB ({scan['cli'][0]:.1f} s) "
            f"| ≤ {TARGETS['scan_mb']} MB: {verdict(scan['tarnwick'][1] <= TARGETS['scan_mb'])} |",
        ]
        self.details += self.by_group("screens", "screens, by kind", lambda name: name.split("_")[0])

    def browser(self, directory):
        paths = images(directory, BROWSER_NAME.pattern)
        self.score_screens("browser", paths, keep=os.path.join(self.out, "browser"))
        t, c = self.figures("browser")
        ratio = t["seconds"] / c["seconds"]
        self.table += [
            f"| browser screens: mean character error rate ({len(paths)}) | {t['cer']:.1f} % | {c['cer']:.1f} % "
            f"| ≤ {TARGETS['cer']:g} %: {verdict(t['cer'] <= TARGETS['cer'])} |",
            f"| browser screens: exact-line recall | {t['recall']:.1f} % | {c['recall']:.1f} % "
            f"| ≥ {TARGETS['recall']:g} %: {verdict(t['recall'] >= TARGETS['recall'])} |",
            f"| browser screens: total wall time | {t['seconds']:.1f} s ({ratio:.2f}) | {c['seconds']:.1f} s (1.00) | |",
        ]
        part = lambda field: lambda name: BROWSER_NAME.fullmatch(name)[field]
        self.details += self.by_group("browser", "browser screens, by page", part("page"))
        self.details += self.by_group("browser", "browser screens, by theme", part("theme"))
        self.details += self.by_group("browser", "browser screens, by scale", lambda n: part("scale")(n) + "x")
        self.details += self.by_group("browser", "browser screens, by format", part("format"))

    def receipts(self, directory):
        keep = os.path.join(self.out, "receipts")

        def receipt(system, path, text, seconds, rss):
            stem = os.path.splitext(os.path.basename(path))[0]
            save(keep, system, stem, text)
            self.rows.append(["receipts", system, stem, {}, seconds, rss])

        alternate(self.tool, images(directory, r"[^.]+\.jpg"), receipt)
        pattern = re.compile(r"^(\S+)\s+word_f1=\s*([\d.]+)%\s+norm_f1=\s*([\d.]+)%\s+line_recall=\s*([\d.]+)%", re.M)
        for system in SYSTEMS:
            scored = subprocess.check_output([sys.executable, RECEIPT_SCORER, directory, os.path.join(keep, system)],
                                             text=True)
            per = {m[0]: {"word_f1": float(m[1]), "norm_f1": float(m[2]), "line_recall": float(m[3])}
                   for m in pattern.findall(scored)}
            for row in self.pick("receipts", system):
                row[3] = per[row[2]]
            rows = self.pick("receipts", system)
            self.summary[system]["receipts"] = {
                "accuracy": per["MEAN"]["norm_f1"], "word_f1": per["MEAN"]["word_f1"],
                "recall": per["MEAN"]["line_recall"], "seconds": sum(r[4] for r in rows),
                "mb": max(r[5] for r in rows)}
        t, c = self.figures("receipts")
        ratio = t["seconds"] / c["seconds"]
        f1_gain, recall_gain = TARGETS["receipt_f1_gain"], TARGETS["receipt_recall_gain"]
        self.table += [
            f"| receipts: normalized word F1 ({len(self.pick('receipts', 'cli'))}) | {t['accuracy']:.1f} % "
            f"| {c['accuracy']:.1f} % | ≥ CLI + {f1_gain:g}: {verdict(t['accuracy'] >= c['accuracy'] + f1_gain)} |",
            f"| receipts: line recall | {t['recall']:.1f} % | {c['recall']:.1f} % "
            f"| ≥ CLI + {recall_gain:g}: {verdict(t['recall'] >= c['recall'] + recall_gain)} |",
            f"| receipts: exact word F1 | {t['word_f1']:.1f} % | {c['word_f1']:.1f} % | |",
            f"| receipts: total wall time | {t['seconds']:.1f} s ({ratio:.2f}) | {c['seconds']:.1f} s (1.00) "
            f"| ≤ {TARGETS['receipt_speed']:g}: {verdict(ratio <= TARGETS['receipt_speed'])} |",
        ]
        self.details += ["", "| receipt | tarnwick norm. F1 | CLI norm. F1 | tarnwick line recall | CLI line recall "
                         "| tarnwick s | CLI s |", "|---|---|---|---|---|---|---|"]
        for mine, theirs in zip(self.pick("receipts", "tarnwick"), self.pick("receipts", "cli")):
            self.details.append(f"| {mine[2]} | {mine[3]['norm_f1']:.1f} | {theirs[3]['norm_f1']:.1f} "
                                f"| {mine[3]['line_recall']:.1f} | {theirs[3]['line_recall']:.1f} "
                                f"| {mine[4]:.2f} | {theirs[4]:.2f} |")

    def write(self):
        with open(os.path.join(self.out, "images.tsv"), "w") as tsv:
            tsv.write("set\tsystem\timage\taccuracy\tseconds\tpeak_mb\n")
            for kind, system, name, acc, sec, rss in self.rows:
                figures = " ".join(f"{k}={v:.2f}" for k, v in acc.items())
                tsv.write(f"{kind}\t{system}\t{name}\t{figures}\t{sec:.3f}\t{rss:.0f}\n")
        table = ["| figure | tarnwick | `OMP_THREAD_LIMIT=1 tesseract` | target |", "|---|---|---|---|"]
        text = "\n".join(table + self.table + self.details) + "\n"
        open(os.path.join(self.out, "table.md"), "w").write(text)
        print(text, end="")


# Set, x label, y label, title of each panel of the plot.
PANELS = {
    "documents": ("total wall time on the documents (s)", "mean word F1 (%)", "documents"),
    "screens": ("total wall time on the screens (s)", "100 - character error rate (%)", "drawn screens"),
    "browser": ("total wall time on the browser screens (s)", "100 - character error rate (%)", "browser screens"),
    "receipts": ("total wall time on the receipts (s)", "normalized word F1 (%)", "receipts"),
}


def draw(summary, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    kinds = [k for k in PANELS if k in summary["tarnwick"]]
    columns = 2 if len(kinds) > 2 else len(kinds)
    rows = (len(kinds) + columns - 1) // columns
    figure, axes = plt.subplots(rows, columns, figsize=(4.5 * columns, 3.6 * rows), squeeze=False)
    for index, kind in enumerate(kinds):
        panel = axes[index // columns][index % columns]
        for system, label, marker in (("tarnwick", "tarnwick", "o"), ("cli", "OMP_THREAD_LIMIT=1 tesseract", "s")):
            s = summary[system][kind]
            panel.plot(s["seconds"], s["accuracy"], marker, markersize=9, label=label)
        xlabel, ylabel, title = PANELS[kind]
        panel.set(xlabel=xlabel, ylabel=ylabel, title=title)
        panel.grid(alpha=0.3)
        panel.set_xlim(0, panel.get_xlim()[1] * 1.15)
        panel.margins(y=0.25)
    for index in range(len(kinds), rows * columns):
        axes[index // columns][index % columns].axis("off")
    axes[0][0].legend(loc="best", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("tool")
    parser.add_argument("out")
    for kind in PANELS:
        parser.add_argument(f"--{kind}", metavar="DIR")
    parser.add_argument("--plot", metavar="PNG")
    args = parser.parse_args()
    bench = Bench(args.tool, args.out)
    os.makedirs(args.out, exist_ok=True)
    for kind in PANELS:
        if getattr(args, kind):
            getattr(bench, kind)(getattr(args, kind))
    if not bench.table:
        sys.exit("compare.py: no set to score; give at least one of --" + ", --".join(PANELS))
    bench.write()
    if args.plot:
        draw(bench.summary, args.plot)


if __name__ == "__main__":
    main()

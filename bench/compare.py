#!/usr/bin/python3
"""tarnwick against `OMP_THREAD_LIMIT=1 tesseract IMG stdout`, image by image.

usage: compare.py TARNWICK DOCUMENTS_DIR SCREENS_DIR OUT_DIR [PLOT_PNG]
Each image is read by both systems in turn, the order swapping from one image
to the next, so a slow spell on the machine falls on both alike. Prints a
Markdown table (also written to OUT_DIR/table.md) and per-image figures to
OUT_DIR/images.tsv.
"""
import json, os, re, statistics, subprocess, sys, tempfile, time

SCORER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../shared/bench/wordscore.py")
SYSTEMS = ("tarnwick", "cli")
TARGETS = {"speed": 0.6, "startup": 1.1, "f1": 86.0, "cer": 3.0, "recall": 85.0, "doc_mb": 250, "photo_mb": 400}


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


def main():
    tool, documents, screens, out = sys.argv[1:5]
    plot = sys.argv[5] if len(sys.argv) > 5 else None
    rows = []  # (set, system, image, accuracy figures, seconds, rss)

    predictions = {s: os.path.join(out, s) for s in SYSTEMS}
    for p in predictions.values():
        os.makedirs(p, exist_ok=True)

    def document(system, path, text, seconds, rss):
        stem = os.path.basename(path).split(".")[0]
        open(os.path.join(predictions[system], stem + ".txt"), "w").write(text)
        rows.append(["documents", system, stem, {}, seconds, rss])

    alternate(tool, images(documents, r"[^.]+\.(png|jpg)"), document)
    for system in SYSTEMS:
        scored = subprocess.check_output([sys.executable, SCORER, documents, predictions[system]], text=True)
        f1 = {m[0]: float(m[1]) for m in re.findall(r"^(\S+)\s+f1=\s*([\d.]+)%", scored, re.M)}
        for row in rows:
            if row[1] == system:
                row[3] = {"f1": f1[row[2]]}

    def screen(system, path, text, seconds, rss):
        truth = open(os.path.splitext(path)[0] + ".txt").read()
        cer, recall = screen_scores(truth, text)
        rows.append(["screens", system, os.path.basename(path), {"cer": cer, "recall": recall}, seconds, rss])

    alternate(tool, images(screens, r"[a-z].*_\d+px_\d+\.(png|jpg)"), screen)

    startup = {s: [] for s in SYSTEMS}
    alternate(tool, [os.path.join(screens, "startup.png")] * 7, lambda s, p, t, sec, rss: startup[s].append(sec))
    photo = {}
    alternate(tool, [os.path.join(screens, "photo.jpg")], lambda s, p, t, sec, rss: photo.update({s: (sec, rss)}))

    with open(os.path.join(out, "images.tsv"), "w") as tsv:
        tsv.write("set\tsystem\timage\taccuracy\tseconds\tpeak_mb\n")
        for kind, system, name, acc, sec, rss in rows:
            figures = " ".join(f"{k}={v:.2f}" for k, v in acc.items())
            tsv.write(f"{kind}\t{system}\t{name}\t{figures}\t{sec:.3f}\t{rss:.0f}\n")

    def pick(kind, system):
        return [r for r in rows if r[0] == kind and r[1] == system]

    def mean(values):
        return sum(values) / len(values)

    summary = {}
    for system in SYSTEMS:
        docs, scr = pick("documents", system), pick("screens", system)
        summary[system] = {
            "f1": mean([r[3]["f1"] for r in docs]),
            "doc_s": sum(r[4] for r in docs),
            "doc_mb": max(r[5] for r in docs),
            "cer": mean([r[3]["cer"] for r in scr]),
            "recall": mean([r[3]["recall"] for r in scr]),
            "small_recall": mean([r[3]["recall"] for r in scr if int(re.search(r"_(\d+)px", r[2])[1]) <= 13]),
            "scr_s": sum(r[4] for r in scr),
            "startup": statistics.median(startup[system]),
            "photo_s": photo[system][0],
            "photo_mb": photo[system][1],
        }
    t, c = summary["tarnwick"], summary["cli"]
    speed, start = t["doc_s"] / c["doc_s"], t["startup"] / c["startup"]

    def verdict(ok):
        return "met" if ok else "**not met**"

    table = [
        "| figure | tarnwick | `OMP_THREAD_LIMIT=1 tesseract` | target |",
        "|---|---|---|---|",
        f"| documents: mean word F1 ({len(pick('documents', 'cli'))}) | {t['f1']:.1f} % | {c['f1']:.1f} % "
        f"| ≥ 86 %: {verdict(t['f1'] >= TARGETS['f1'])} |",
        f"| documents: total wall time | {t['doc_s']:.1f} s ({speed:.2f}) | {c['doc_s']:.1f} s (1.00) "
        f"| ≤ 0.6: {verdict(speed <= TARGETS['speed'])} |",
        f"| documents: highest peak RSS | {t['doc_mb']:.0f} MB | {c['doc_mb']:.0f} MB "
        f"| ≤ 250 MB: {verdict(t['doc_mb'] <= TARGETS['doc_mb'])} |",
        f"| screens: mean character error rate ({len(pick('screens', 'cli'))}) | {t['cer']:.1f} % | {c['cer']:.1f} % "
        f"| ≤ 3 %: {verdict(t['cer'] <= TARGETS['cer'])} |",
        f"| screens: exact-line recall | {t['recall']:.1f} % | {c['recall']:.1f} % "
        f"| ≥ 85 %: {verdict(t['recall'] >= TARGETS['recall'])} |",
        f"| screens: exact-line recall, 10-13 px text | {t['small_recall']:.1f} % | {c['small_recall']:.1f} % | |",
        f"| screens: total wall time | {t['scr_s']:.1f} s | {c['scr_s']:.1f} s | |",
        f"| start-up: one line on 400 x 100, median of 7 | {t['startup']:.3f} s ({start:.2f}) "
        f"| {c['startup']:.3f} s (1.00) | ≤ 1.1: {verdict(start <= TARGETS['startup'])} |",
        f"| 12-megapixel photo: peak RSS | {t['photo_mb']:.0f} MB ({t['photo_s']:.1f} s) "
        f"| {c['photo_mb']:.0f} MB ({c['photo_s']:.1f} s) | ≤ 400 MB: {verdict(t['photo_mb'] <= TARGETS['photo_mb'])} |",
        "",
        "| document | tarnwick F1 | CLI F1 | tarnwick s | CLI s | tarnwick MB | CLI MB |",
        "|---|---|---|---|---|---|---|",
    ]
    for mine, theirs in zip(pick("documents", "tarnwick"), pick("documents", "cli")):
        table.append(f"| {mine[2]} | {mine[3]['f1']:.1f} | {theirs[3]['f1']:.1f} | {mine[4]:.2f} | {theirs[4]:.2f} "
                     f"| {mine[5]:.0f} | {theirs[5]:.0f} |")
    table += ["", "| screens, by kind | tarnwick CER | CLI CER | tarnwick line recall | CLI line recall |",
              "|---|---|---|---|---|"]
    kinds = sorted({r[2].split("_")[0] for r in pick("screens", "cli")})
    for kind in kinds:
        mine = [r[3] for r in pick("screens", "tarnwick") if r[2].split("_")[0] == kind]
        theirs = [r[3] for r in pick("screens", "cli") if r[2].split("_")[0] == kind]
        table.append(f"| {kind} | {mean([a['cer'] for a in mine]):.1f} % | {mean([a['cer'] for a in theirs]):.1f} % "
                     f"| {mean([a['recall'] for a in mine]):.0f} % | {mean([a['recall'] for a in theirs]):.0f} % |")
    text = "\n".join(table) + "\n"
    open(os.path.join(out, "table.md"), "w").write(text)
    print(text, end="")
    if plot:
        draw(summary, plot)


def draw(summary, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, (left, right) = plt.subplots(1, 2, figsize=(9, 3.6))
    for system, label, marker in (("tarnwick", "tarnwick", "o"), ("cli", "OMP_THREAD_LIMIT=1 tesseract", "s")):
        s = summary[system]
        left.plot(s["doc_s"], s["f1"], marker, markersize=9, label=label)
        right.plot(s["scr_s"], 100 - s["cer"], marker, markersize=9, label=label)
    left.set(xlabel="total wall time on the documents (s)", ylabel="mean word F1 (%)", title="documents")
    right.set(xlabel="total wall time on the screens (s)", ylabel="100 - character error rate (%)", title="screens")
    for axes in (left, right):
        axes.grid(alpha=0.3)
        axes.set_xlim(0, axes.get_xlim()[1] * 1.15)
        axes.margins(y=0.25)
    left.legend(loc="best", fontsize=8)
    figure.tight_layout()
    figure.savefig(path, dpi=100)


if __name__ == "__main__":
    main()

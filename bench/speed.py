#!/usr/bin/env python3
"""Whole-process timings of kadro against vipsthumbnail on the same inputs.

    bench/speed.py [--runs N] [--photos DIR] [--count N] [--before OLD_KADRO] KADRO

Makes a 24 MP JPEG (4000 x 6011) in a temporary folder: a portrait from
--photos scaled up with vips when the folder holds one that tall, else the
bundled astronaut scaled up over a blurred copy of itself. Every row is run
--runs times (default 5), interleaved with the others, each a fresh process;
the table gives the median wall time, its ratio to `vipsthumbnail -s 400`
in the same run, and the largest peak resident memory. With --before, the
kadro rows are run for that program too, in the same run, so a change shows
as two columns measured side by side. The "busy core" rows run single jobs
again while another program spins on one core, as a photo editor's own
work does during an export; their ratios are to `vipsthumbnail -s 400`
under the same load.

The batch rows crop --count real photos (default 40) from --photos in one
process: `kadro open-with Circle` (in place, on fresh copies each run),
`kadro crop --preset Circle -o DIR` when the program has the batch form, and
`vipsthumbnail --smartcrop attention -s 600x600` on the same files as the
baseline of that part. The batch form is also pinned to one core and to two
(taskset) to show how it scales, and projected from those two to 4, 8 and
16 cores (Amdahl's law: an upper bound, and noise in the two times moves it).

A last single-job row times bench/vips_start, a process that only loads and
starts libvips: the floor in time and memory under kadro inspect and under
any program that reads pictures with libvips.

Nothing here is a pass/fail test: the numbers depend on the machine and its
load, which the header notes.
"""
import argparse
import contextlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, "..", ".cache", "samples")
BIG_W, BIG_H = 4000, 6011


def run_once(argv, env, cwd=None):
    """Wall seconds, peak resident kB, success and CPU seconds of one child."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return seconds, usage.ru_maxrss, proc.returncode == 0, usage.ru_utime + usage.ru_stime


@contextlib.contextmanager
def busy_core():
    """Another program spinning on one core while the block runs."""
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.2)
        yield
    finally:
        spinner.kill()
        spinner.wait()


def make_big_jpeg(photos, path):
    """A 24 MP portrait JPEG; returns what it was made from."""
    if photos and os.path.isdir(photos):
        best = None
        for name in sorted(os.listdir(photos)):
            if not name.lower().endswith((".jpg", ".jpeg")):
                continue
            full = os.path.join(photos, name)
            try:
                w, h = (int(subprocess.check_output(["vipsheader", "-f", f, full],
                                                    stderr=subprocess.DEVNULL))
                        for f in ("width", "height"))
            except (subprocess.CalledProcessError, ValueError):
                continue
            # A tall portrait of the right shape, the largest there is.
            if h > w and abs(h / w - BIG_H / BIG_W) < 0.02 and (not best or w > best[1]):
                best = (full, w)
        if best:
            subprocess.check_call(["vips", "resize", best[0], path + "[Q=90]",
                                   str(BIG_W / best[1])])
            return os.path.basename(best[0]) + " scaled up"
    astronaut = os.path.join(SAMPLES, "astronaut.png")
    subprocess.check_call(["vips", "resize", astronaut + "[access=sequential]",
                           path + "[Q=90]", str(BIG_H / 512),
                           "--vscale", str(BIG_H / 512)])
    cut = path + ".cut.jpg"
    subprocess.check_call(["vips", "extract_area", path, cut + "[Q=90]",
                           str((BIG_H - BIG_W) // 2), "0", str(BIG_W), str(BIG_H)])
    os.replace(cut, path)
    return "astronaut.png scaled up"


def batch_photos(photos, count):
    if not photos or not os.path.isdir(photos):
        return []
    chosen = []
    for name in sorted(os.listdir(photos)):
        if not name.lower().endswith((".jpg", ".jpeg", ".png")):
            continue
        full = os.path.join(photos, name)
        try:
            loader = subprocess.check_output(["vipsheader", "-f", "vips-loader", full],
                                             stderr=subprocess.DEVNULL).decode().strip()
        except subprocess.CalledProcessError:
            continue
        # Open With takes JPEG and PNG files by their content too.
        if loader.startswith(("jpegload", "pngload")):
            chosen.append(full)
        if len(chosen) == count:
            break
    return chosen


def has_batch_form(kadro):
    out = subprocess.run([kadro, "crop", "--help"], capture_output=True, text=True).stdout
    return "--jobs" in out


def machine_note():
    load = os.getloadavg()
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{os.cpu_count()} cores ({model}), load average {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}"


def print_projection(column, one, two):
    """The batch's wall time on more cores, on paper: the part that did not
    halve from one core to two is taken as serial (Amdahl's law). It leaves
    out what only many cores show (memory bandwidth, the disk, the jobs'
    memory), so it is an upper bound on the gain."""
    serial = min(1.0, max(0.0, 2 * two / one - 1))
    cells = ", ".join(f"{n} cores {one * (serial + (1 - serial) / n):.2f} s"
                      for n in (1, 2, 4, 8, 16))
    print(f"\n{column}: {serial * 100:.0f} % of the 1-core batch did not halve on 2 cores; "
          f"on paper: {cells}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("kadro")
    parser.add_argument("--before", help="an older kadro program to measure beside it")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--photos", default="/work/shared/data/faces",
                        help="folder of real photos (only read)")
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--no-batch", action="store_true")
    parser.add_argument("--vips-start",
                        help="the bench program that only starts libvips "
                             "(default: bench/vips_start of KADRO's build)")
    args = parser.parse_args()

    programs = [("after", os.path.abspath(args.kadro))]
    if args.before:
        programs.insert(0, ("before", os.path.abspath(args.before)))

    work = tempfile.mkdtemp(prefix="kadro-speed-")
    try:
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"))
        big = os.path.join(work, "big.jpg")
        origin = make_big_jpeg(args.photos, big)
        small = None
        for name in ("fr_obama_small.jpg",):
            if os.path.exists(os.path.join(args.photos, name)):
                small = os.path.join(args.photos, name)
        if not small:
            small = os.path.join(work, "small.jpg")
            subprocess.check_call(["vips", "thumbnail", os.path.join(SAMPLES, "astronaut.png"),
                                   small, "320", "--height", "240", "--crop", "centre"])

        out = lambda name: os.path.join(work, name)
        # (label, {column: argv}, note); column None is the baseline's own.
        rows = [
            ("24 MP JPEG -> vipsthumbnail -s 400", {None: ["vipsthumbnail", big, "-s", "400", "-o", out("t.jpg")]}),
            ("same -> vipsthumbnail --smartcrop attention -s 400x400",
             {None: ["vipsthumbnail", big, "-s", "400x400", "--smartcrop", "attention",
                     "-o", out("a.jpg")]}),
            ("same -> kadro crop --type circle --max-size 400 --no-border (PNG)",
             {c: [k, "crop", "--type", "circle", "--max-size", "400", "--no-border", big,
                  out(c + "-circle400.png")] for c, k in programs}),
            ("same -> kadro crop --preset Circle (600 px, border, PNG)",
             {c: [k, "crop", "--preset", "Circle", big, out(c + "-circle.png")]
              for c, k in programs}),
            ("decoding that JPEG at 1/4 alone (vips copy big.jpg[shrink=4] x.v)",
             {None: ["vips", "copy", big + "[shrink=4]", out("x.v")]}),
            ("decoding that JPEG at 1/8 alone (vips copy big.jpg[shrink=8] x.v)",
             {None: ["vips", "copy", big + "[shrink=8]", out("y.v")]}),
            ("kadro --help", {c: [k, "--help"] for c, k in programs}),
            ("kadro inspect on a 320 x 240 photo", {c: [k, "inspect", small] for c, k in programs}),
        ]
        # Under any first detection: the process that only loads and starts
        # libvips, and the memory its libraries take.
        vips_start = args.vips_start or os.path.join(
            os.path.dirname(os.path.abspath(args.kadro)), "..", "..", "bench", "vips_start")
        if os.path.exists(vips_start):
            rows.append(("libvips loaded and started, nothing else (bench/vips_start)",
                         {None: [vips_start]}))
        # The same single jobs while another program keeps one core busy, as
        # a photo editor does while it exports: the baseline gets the same.
        busy_rows = [
            ("busy core: vipsthumbnail -s 400", {None: rows[0][1][None]}),
            ("busy core: kadro crop --type circle --max-size 400 --no-border",
             {c: [k, "crop", "--type", "circle", "--max-size", "400", "--no-border", big,
                  out(c + "-busy400.png")] for c, k in programs}),
            ("busy core: kadro inspect on a 320 x 240 photo",
             {c: [k, "inspect", small] for c, k in programs}),
        ]

        times, cpus, peaks, failures = {}, {}, {}, set()

        def record(label, column, sample):
            key = (label, column)
            times.setdefault(key, []).append(sample[0])
            cpus.setdefault(key, []).append(sample[3])
            peaks[key] = max(peaks.get(key, 0), sample[1])
            if not sample[2]:
                failures.add(key)

        run_once(rows[0][1][None], env)  # file cache warm, presets written
        for c, k in programs:
            run_once([k, "presets"], env)
        for _ in range(args.runs):
            for label, commands in rows:
                for column, argv in commands.items():
                    record(label, column, run_once(argv, env))
            with busy_core():
                for label, commands in busy_rows:
                    for column, argv in commands.items():
                        record(label, column, run_once(argv, env))

        base = statistics.median(times[(rows[0][0], None)])
        cpu_base = statistics.median(cpus[(rows[0][0], None)])
        columns = [c for c, _ in programs]

        def cell(key):
            if key not in times:
                return "-"
            t = statistics.median(times[key])
            c = statistics.median(cpus[key])
            text = f"{t:.3f} s, {c:.3f} CPU-s, {peaks[key] / 1024:.0f} MB"
            return text + (" FAILED" if key in failures else "")

        print(f"# kadro against vipsthumbnail, {args.runs} runs each, medians of whole processes")
        print(f"machine: {machine_note()}")
        print(f"24 MP JPEG: {BIG_W} x {BIG_H}, {origin}; small photo: {os.path.basename(small)}\n")
        header = "| work | " + " | ".join(f"{c} (wall, CPU, peak)" for c in columns) + " | " + \
            " | ".join(f"{c} ratio" for c in columns) + " |"
        print(header)
        print("|" + "---|" * (1 + 2 * len(columns)))
        for label, commands in rows + busy_rows:
            if label == busy_rows[0][0]:
                base = statistics.median(times[(label, None)])
                cpu_base = statistics.median(cpus[(label, None)])

            def ratio(key):
                return (f"{statistics.median(times[key]) / base:.2f}x "
                        f"({statistics.median(cpus[key]) / cpu_base:.2f}x CPU)")
            if None in commands:
                cells = [cell((label, None))] + ["" for _ in columns[1:]]
                ratios = [ratio((label, None))] + ["" for _ in columns[1:]]
            else:
                cells = [cell((label, c)) for c in columns]
                ratios = [ratio((label, c)) for c in columns]
            print(f"| {label} | " + " | ".join(cells) + " | " + " | ".join(ratios) + " |")

        if args.no_batch:
            return
        photos = batch_photos(args.photos, args.count)
        if len(photos) < 2:
            print("\n(no folder of real photos: batch rows skipped)")
            return
        pixels = []
        for p in photos:
            w, h = (int(subprocess.check_output(["vipsheader", "-f", f, p])) for f in ("width", "height"))
            pixels.append(w * h / 1e6)
        print(f"\n## batch: {len(photos)} real photos ({min(pixels):.1f}-{max(pixels):.1f} MP, "
              f"{sum(pixels):.0f} MP in all), one process each run")
        thumbs = os.path.join(work, "thumbs")
        os.makedirs(thumbs, exist_ok=True)
        batch_rows = [("vipsthumbnail --smartcrop attention -s 600x600", None,
                       lambda: ["vipsthumbnail", "--smartcrop", "attention", "-s", "600x600",
                                "-o", os.path.join(thumbs, "%s.jpg")] + photos)]

        def fresh_copies(column):
            folder = os.path.join(work, "open-with-" + column)
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            copies = []
            for p in photos:
                dest = os.path.join(folder, os.path.basename(p))
                shutil.copyfile(p, dest)
                copies.append(dest)
            return copies

        def fresh_folder(column, cores):
            folder = os.path.join(work, f"crop-{column}-{cores}")
            shutil.rmtree(folder, ignore_errors=True)
            os.makedirs(folder)
            return folder

        for c, k in programs:
            batch_rows.append((f"kadro open-with Circle", c,
                               lambda c=c, k=k: [k, "open-with", "Circle"] + fresh_copies(c)))
            if has_batch_form(k):
                for cores in ("0", "0,1"):
                    label = f"kadro crop --preset Circle -o DIR, taskset -c {cores}"
                    batch_rows.append((label, c, lambda c=c, k=k, cores=cores: [
                        "taskset", "-c", cores, k, "crop", "--preset", "Circle", "-o",
                        fresh_folder(c, cores)] + photos))
        batch_times, batch_cpus, batch_peaks, batch_failures = {}, {}, {}, set()
        for _ in range(args.runs):
            for label, column, make in batch_rows:
                argv = make()  # copies and folders are made before the clock starts
                s = run_once(argv, env)
                key = (label, column)
                batch_times.setdefault(key, []).append(s[0])
                batch_cpus.setdefault(key, []).append(s[3])
                batch_peaks[key] = max(batch_peaks.get(key, 0), s[1])
                if not s[2]:
                    batch_failures.add(key)
        batch_base = statistics.median(batch_times[(batch_rows[0][0], None)])
        print("| work | program | wall | CPU | peak | ratio (wall) |")
        print("|---|---|---|---|---|---|")
        for label, column, _ in batch_rows:
            key = (label, column)
            t = statistics.median(batch_times[key])
            print(f"| {label} | {column or 'vips'} | {t:.2f} s | "
                  f"{statistics.median(batch_cpus[key]):.2f} s | {batch_peaks[key] / 1024:.0f} MB | "
                  f"{t / batch_base:.2f}x{' FAILED' if key in batch_failures else ''} |")
        for c, _ in programs:
            one = batch_times.get(("kadro crop --preset Circle -o DIR, taskset -c 0", c))
            two = batch_times.get(("kadro crop --preset Circle -o DIR, taskset -c 0,1", c))
            if one and two:
                print_projection(c, statistics.median(one), statistics.median(two))
        print(f"\nmachine after the batch rows: {machine_note()}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())

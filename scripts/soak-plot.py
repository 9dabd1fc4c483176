#!/usr/bin/env python3
"""Draws the recorder soak's resident size over time as an SVG, from the CSV that
`recorder_bench --soak FRAMES --soak-log FILE` writes (seconds,frames,resident_bytes).

    scripts/soak-plot.py soak.csv docs/soak-resident.svg [--limit-mib 190]

Plain SVG, no plotting library: the picture has to be reproducible on a bare build host."""
import csv
import statistics
import sys


def main(argv):
    if len(argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    source, target = argv[1], argv[2]
    limit = 190.0
    if "--limit-mib" in argv:
        limit = float(argv[argv.index("--limit-mib") + 1])
    with open(source, newline="") as f:
        rows = [(float(r["seconds"]), int(r["frames"]), int(r["resident_bytes"]) / 2**20)
                for r in csv.DictReader(f)]
    if not rows:
        print("no samples", file=sys.stderr)
        return 1
    values = [mib for _, _, mib in rows]
    first, last, peak = values[0], values[-1], max(values)
    median = statistics.median(values)

    width, height, left, right, top, bottom = 760, 340, 64, 16, 36, 48
    plot_w, plot_h = width - left - right, height - top - bottom
    t_max = max(rows[-1][0], 1e-9)
    y_max = max(limit, peak) * 1.05

    def x(t):
        return left + plot_w * t / t_max

    def y(mib):
        return top + plot_h * (1 - mib / y_max)

    out = []
    out.append(f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
               f'font-family="sans-serif" font-size="12">')
    out.append(f'<rect width="{width}" height="{height}" fill="white"/>')
    out.append(f'<text x="{left}" y="20" font-size="14">Resident size of the core during the soak '
               f'({rows[-1][1]:,} frames in {t_max:.0f} s)</text>')
    step = 20 if y_max <= 240 else 50
    mib = 0
    while mib <= y_max:
        out.append(f'<line x1="{left}" y1="{y(mib):.1f}" x2="{width - right}" y2="{y(mib):.1f}" '
                   f'stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y(mib) + 4:.1f}" text-anchor="end">{mib:g}</text>')
        mib += step
    for i in range(0, 6):
        t = t_max * i / 5
        out.append(f'<text x="{x(t):.1f}" y="{height - bottom + 16}" text-anchor="middle">'
                   f'{t:.0f}</text>')
    out.append(f'<text x="{left + plot_w / 2}" y="{height - 8}" text-anchor="middle">seconds</text>')
    out.append(f'<text x="14" y="{top + plot_h / 2}" transform="rotate(-90 14 {top + plot_h / 2})" '
               f'text-anchor="middle">MiB resident</text>')
    out.append(f'<line x1="{left}" y1="{y(limit):.1f}" x2="{width - right}" y2="{y(limit):.1f}" '
               f'stroke="#c00" stroke-dasharray="6 4"/>')
    out.append(f'<text x="{width - right - 4}" y="{y(limit) - 5:.1f}" text-anchor="end" fill="#c00">'
               f'throttling limit {limit:g} MiB</text>')
    points = " ".join(f"{x(t):.1f},{y(m):.1f}" for t, _, m in rows)
    out.append(f'<polyline points="{points}" fill="none" stroke="#1f5fa8" stroke-width="1.2"/>')
    out.append(f'<text x="{left + 8}" y="{top + 14}">first {first:.1f}, median {median:.1f}, '
               f'last {last:.1f}, max {peak:.1f} MiB</text>')
    out.append('</svg>')
    with open(target, "w") as f:
        f.write("\n".join(out) + "\n")
    print(f"{target}: {len(rows)} samples; first {first:.1f} MiB, median {median:.1f} MiB, "
          f"last {last:.1f} MiB, max {peak:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

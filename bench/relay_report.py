#!/usr/bin/env python3
"""Turns the raw figures of bench/relay.sh (contender, key, value per line) into the result tables:
medians, each figure's ratio to "direct" from the same run, the proxies' CPU time and memory,
and how Kestrune stands against its targets."""

import argparse
import statistics
import sys
from collections import defaultdict

BIG = 64 << 20
MIB = 1024.0
ORDER = ["direct", "kestrune", "tinyproxy", "squid", "mitmdump"]


def load(path):
    data = defaultdict(lambda: defaultdict(list))
    with open(path, encoding="utf-8") as f:
        for line in f:
            parts = line.rstrip("\n").split("\t", 2)
            if len(parts) == 3:
                data[parts[0]][parts[1]].append(parts[2])
    return data


def parse_wrk(text):
    fields = dict(item.split("=", 1) for item in text.split())
    return {k: int(v) for k, v in fields.items()}


class Figures:
    """The figures of one contender, None where it was not measured."""

    def __init__(self, raw, ticks_per_s):
        self.raw = raw
        self.tick_ms = 1000.0 / ticks_per_s
        self.get_mbps = self._rate("get_s", BIG)
        self.tunnel_mbps = self._rate("tunnel_s", BIG)
        html = self._floats("html_s")
        self.html_ms = statistics.median(html) * 1000 if html else None
        self.get_cpu_ms = self._cpu_ms("get_cpu_ticks", len(self._floats("get_s")))
        self.tunnel_cpu_ms = self._cpu_ms("tunnel_cpu_ticks", len(self._floats("tunnel_s")))
        self.newconn = self._wrk("newconn")
        self.keepalive = self._wrk("keepalive")
        self.rss_idle = self._mib("rss_idle_kb")
        self.rss_peak_get = self._mib("rss_peak_get_kb")
        self.rss_peak = self._mib("rss_peak_kb")
        self.rss_end = self._mib("rss_end_kb")
        self.notes = raw.get("note", [])

    def _floats(self, key):
        return [float(v) for v in self.raw.get(key, []) if v.strip()]

    def _rate(self, key, size):
        times = self._floats(key)
        return size / 1e6 / statistics.median(times) if times else None

    def _cpu_ms(self, key, runs):
        ticks = self._floats(key)
        return sum(ticks) * self.tick_ms / runs if ticks and runs else None

    def _mib(self, key):
        values = self._floats(key)
        return values[-1] / MIB if values else None

    def _wrk(self, key):
        texts = self.raw.get(key + "_wrk", [])
        if not texts:
            return None
        w = parse_wrk(texts[-1])
        result = {
            "rps": w["requests"] / (w["duration_us"] / 1e6) if w["duration_us"] else 0.0,
            "p50": w["p50_us"] / 1000.0,
            "p99": w["p99_us"] / 1000.0,
            "closes": w["read_errors"],
            "errors": w["connect_errors"] + w["write_errors"] + w["status_errors"] + w["timeouts"],
            "requests": w["requests"],
        }
        cpu = self._floats(key + "_cpu_ticks")
        if cpu and w["requests"]:
            result["cpu_us"] = cpu[-1] * self.tick_ms * 1000.0 / w["requests"]
        return result

    def wrk_value(self, key, field):
        figures = getattr(self, key)
        return figures.get(field) if figures else None


def fmt(value, digits=0):
    if value is None:
        return "n/a"
    return f"{value:,.{digits}f}"


def with_ratio(value, base, digits=0):
    if value is None:
        return "n/a"
    if base:
        return f"{fmt(value, digits)} ({value / base:.2f}x)"
    return fmt(value, digits)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def speed_table(names, figs):
    d = figs["direct"]
    metrics = [
        ("64 MiB GET MB/s", lambda f: f.get_mbps, 0),
        ("64 MiB CONNECT MB/s", lambda f: f.tunnel_mbps, 0),
        ("2 MiB html ms", lambda f: f.html_ms, 1),
        ("new-conn req/s", lambda f: f.wrk_value("newconn", "rps"), 0),
        ("new-conn p50 ms", lambda f: f.wrk_value("newconn", "p50"), 2),
        ("new-conn p99 ms", lambda f: f.wrk_value("newconn", "p99"), 2),
        ("keep-alive req/s", lambda f: f.wrk_value("keepalive", "rps"), 0),
        ("keep-alive p50 ms", lambda f: f.wrk_value("keepalive", "p50"), 2),
        ("keep-alive p99 ms", lambda f: f.wrk_value("keepalive", "p99"), 2),
    ]
    rows = []
    for name in names:
        f = figs[name]
        rows.append([name] + [with_ratio(get(f), get(d), digits) for _, get, digits in metrics])
    return table(["contender"] + [m[0] for m in metrics], rows)


def resource_table(names, figs):
    metrics = [
        ("CPU ms / 64 MiB GET", lambda f: f.get_cpu_ms, 0),
        ("CPU ms / 64 MiB CONNECT", lambda f: f.tunnel_cpu_ms, 0),
        ("CPU us / req new-conn", lambda f: f.wrk_value("newconn", "cpu_us"), 0),
        ("CPU us / req keep-alive", lambda f: f.wrk_value("keepalive", "cpu_us"), 0),
        ("idle RSS MiB", lambda f: f.rss_idle, 1),
        ("peak RSS in GET MiB", lambda f: f.rss_peak_get, 1),
        ("peak RSS MiB", lambda f: f.rss_peak, 1),
        ("RSS at end MiB", lambda f: f.rss_end, 1),
    ]
    rows = [[name] + [fmt(get(figs[name]), digits) for _, get, digits in metrics]
            for name in names if name != "direct"]
    return table(["proxy"] + [m[0] for m in metrics], rows)


def target_lines(figs):
    k, d, t = figs.get("kestrune"), figs["direct"], figs.get("tinyproxy")
    if k is None:
        return ["- kestrune was not measured in this run"]
    if k.get_mbps is None and k.newconn is None:
        return ["- kestrune was left out of this run: " + ("; ".join(k.notes) or "no figures")]

    def ratio(a, b):
        return a / b if a is not None and b else None

    checks = [
        ("64 MiB GET >= 0.6x direct", ratio(k.get_mbps, d.get_mbps), ">=", 0.6, "x"),
        ("64 MiB GET >= 1.3x tinyproxy", ratio(k.get_mbps, t.get_mbps if t else None),
         ">=", 1.3, "x"),
        ("CONNECT >= 0.6x direct", ratio(k.tunnel_mbps, d.tunnel_mbps), ">=", 0.6, "x"),
        ("new-conn req/s >= 0.4x direct",
         ratio(k.wrk_value("newconn", "rps"), d.wrk_value("newconn", "rps")), ">=", 0.4, "x"),
        ("new-conn p99 <= 3x direct",
         ratio(k.wrk_value("newconn", "p99"), d.wrk_value("newconn", "p99")), "<=", 3.0, "x"),
        ("keep-alive req/s >= 0.5x direct",
         ratio(k.wrk_value("keepalive", "rps"), d.wrk_value("keepalive", "rps")), ">=", 0.5, "x"),
        ("CPU per 64 MiB GET below tinyproxy's",
         ratio(k.get_cpu_ms, t.get_cpu_ms if t else None), "<", 1.0, "x"),
        ("peak RSS during the 64 MiB GET < 20 MiB", k.rss_peak_get, "<", 20.0, " MiB"),
        ("idle RSS < 15 MiB", k.rss_idle, "<", 15.0, " MiB"),
    ]
    tests = {">=": lambda v, l: v >= l, "<=": lambda v, l: v <= l, "<": lambda v, l: v < l}
    lines = []
    for label, value, op, limit, unit in checks:
        if value is None:
            lines.append(f"- {label}: not measured")
            continue
        if tests[op](value, limit):
            verdict = "met"
        else:
            verdict = f"MISSED by {abs(value - limit):.2f}{unit}"
        lines.append(f"- {label}: {value:.2f}{unit} -> {verdict}")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--results", required=True)
    parser.add_argument("--ticks", type=int, default=100)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--wrk-secs", type=int, default=10)
    parser.add_argument("--markdown")
    args = parser.parse_args()

    data = load(args.results)
    names = [n for n in ORDER if n in data or n == "direct"]
    names += sorted(n for n in data if n not in names)
    figs = {n: Figures(data[n], args.ticks) for n in names}

    out = [
        f"Speed (median of {args.reps} transfers; wrk: 20 connections for {args.wrk_secs} s;"
        " in brackets: ratio to direct)",
        "",
        speed_table(names, figs),
        "",
        "Proxy process: CPU time (utime+stime) per transfer or request, memory (VmRSS/VmHWM)",
        "",
        resource_table(names, figs),
        "",
        "Kestrune against its targets:",
        "",
    ]
    out += target_lines(figs)
    notes = []
    for name in names:
        f = figs[name]
        for key in ("newconn", "keepalive"):
            w = getattr(f, key)
            if w and (w["closes"] or w["errors"]):
                notes.append(f"- {name} {key}: {w['closes']} connections closed by the other side"
                             f" (wrk: read errors), {w['errors']} other errors"
                             f" in {w['requests']} requests")
            overflows = sum(int(v) for v in f.raw.get(key + "_listen_overflows", []))
            if overflows:
                notes.append(f"- {name} {key}: {overflows} connection attempts dropped for a full"
                             " accept queue (system's ListenOverflows counter; the client retries)")
        for key in ("get", "tunnel", "html"):
            failed = len(f.raw.get(key + "_fail", []))
            if failed:
                notes.append(f"- {name} {key}: {failed} failed transfers")
        notes += [f"- {name}: {n}" for n in f.notes]
    if notes:
        out += ["", "Notes:", ""] + notes
    text = "\n".join(out) + "\n"
    sys.stdout.write(text)
    if args.markdown:
        with open(args.markdown, "w", encoding="utf-8") as f:
            f.write(text)


if __name__ == "__main__":
    main()

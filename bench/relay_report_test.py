#!/usr/bin/env python3
"""Checks of the relay benchmark's report: medians, ratios, per-request CPU and target verdicts.
Run: python3 bench/relay_report_test.py"""

import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # leave no cache folder in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_report  # noqa: E402

BIG = 64 << 20


def wrk_line(requests, p50_us, p99_us, read_errors=0, timeouts=0):
    return (f"requests={requests} duration_us=10000000 connect_errors=0 read_errors={read_errors}"
            f" write_errors=0 status_errors=0 timeouts={timeouts} p50_us={p50_us} p99_us={p99_us}")


def figures(rows, ticks=100):
    with tempfile.NamedTemporaryFile("w", suffix=".tsv", delete=False) as f:
        for name, key, value in rows:
            f.write(f"{name}\t{key}\t{value}\n")
    try:
        data = relay_report.load(f.name)
    finally:
        os.unlink(f.name)
    return {n: relay_report.Figures(data[n], ticks) for n in data}


class FiguresTest(unittest.TestCase):
    def test_rate_is_size_over_median_time_and_ignores_one_slow_run(self):
        f = figures([("direct", "get_s", t) for t in ("0.1", "10.0", "0.1", "0.2", "0.1")])
        self.assertAlmostEqual(f["direct"].get_mbps, BIG / 1e6 / 0.1)

    def test_cpu_per_transfer_is_the_mean_of_the_successful_runs(self):
        rows = [("k", "get_s", "0.5")] * 2 + [("k", "get_cpu_ticks", "3"), ("k", "get_cpu_ticks", "5")]
        self.assertAlmostEqual(figures(rows)["k"].get_cpu_ms, 40.0)

    def test_wrk_figures_and_cpu_per_request(self):
        rows = [("k", "newconn_wrk", wrk_line(50000, 1500, 9000, read_errors=7, timeouts=2)),
                ("k", "newconn_cpu_ticks", "250")]
        w = figures(rows)["k"].newconn
        self.assertAlmostEqual(w["rps"], 5000.0)
        self.assertAlmostEqual(w["p50"], 1.5)
        self.assertAlmostEqual(w["p99"], 9.0)
        self.assertEqual((w["closes"], w["errors"]), (7, 2))
        self.assertAlmostEqual(w["cpu_us"], 2500 * 1000.0 / 50000)

    def test_missing_figures_are_none_and_print_as_na(self):
        f = figures([("k", "note", "did not start")])["k"]
        self.assertIsNone(f.get_mbps)
        self.assertIsNone(f.wrk_value("keepalive", "rps"))
        self.assertEqual(relay_report.with_ratio(None, 3.0), "n/a")
        self.assertEqual(relay_report.with_ratio(150.0, 300.0), "150 (0.50x)")


class TargetTest(unittest.TestCase):
    def run_targets(self, kestrune_rows):
        rows = [("direct", "get_s", "0.1"), ("direct", "tunnel_s", "0.1"),
                ("direct", "newconn_wrk", wrk_line(100000, 1000, 4000)),
                ("direct", "keepalive_wrk", wrk_line(200000, 500, 2000)),
                ("tinyproxy", "get_s", "0.4"), ("tinyproxy", "get_cpu_ticks", "30")]
        lines = relay_report.target_lines(figures(rows + kestrune_rows))
        return {line.split(":")[0][2:]: line for line in lines}

    def test_verdicts_at_and_around_the_limits(self):
        verdicts = self.run_targets([
            ("kestrune", "get_s", "0.2"),            # 0.5x direct, 2x tinyproxy
            ("kestrune", "tunnel_s", "0.1"),         # 1.0x
            ("kestrune", "get_cpu_ticks", "30"),     # equal to tinyproxy: not below
            ("kestrune", "newconn_wrk", wrk_line(40000, 2000, 12000)),  # 0.4x, p99 3x: both met
            ("kestrune", "keepalive_wrk", wrk_line(90000, 900, 3000)),  # 0.45x
            ("kestrune", "rss_idle_kb", str(15 * 1024)),                # not under 15 MiB
            ("kestrune", "rss_peak_get_kb", str(19 * 1024)),
        ])
        self.assertIn("MISSED by 0.10x", verdicts["64 MiB GET >= 0.6x direct"])
        self.assertIn("met", verdicts["64 MiB GET >= 1.3x tinyproxy"])
        self.assertIn("met", verdicts["CONNECT >= 0.6x direct"])
        self.assertIn("met", verdicts["new-conn req/s >= 0.4x direct"])
        self.assertIn("met", verdicts["new-conn p99 <= 3x direct"])
        self.assertIn("MISSED by 0.05x", verdicts["keep-alive req/s >= 0.5x direct"])
        self.assertIn("MISSED", verdicts["CPU per 64 MiB GET below tinyproxy's"])
        self.assertIn("met", verdicts["peak RSS during the 64 MiB GET < 20 MiB"])
        self.assertIn("MISSED by 0.00 MiB", verdicts["idle RSS < 15 MiB"])

    def test_a_kestrune_that_never_ran_is_said_to_be_left_out(self):
        verdicts = self.run_targets([("kestrune", "note", "did not start")])
        self.assertEqual(list(verdicts), ["kestrune was left out of this run"])


if __name__ == "__main__":
    unittest.main()

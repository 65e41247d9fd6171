"""The one table of compare.sh: every target with ORV's figure, the peer's, their ratio.

Usage: table.py RESULTS.tsv IDLE_S. Figures are medians over rounds; a ratio is the median of
the ratios within each round (ORV / peer), so that a drift of the machine between rounds cancels.
"""
import collections
import math
import statistics
import sys

res, idle_s = sys.argv[1], sys.argv[2]
data = collections.defaultdict(dict)  # (phase, variant) -> round -> {key: value}
failed = []
for line in open(res):
    f = line.rstrip("\n").split("\t")
    if len(f) < 5:
        continue
    phase, var, rnd, status, kv = f[0], f[1], int(f[2]), f[3], f[4]
    d = data[(phase, var)].setdefault(rnd, {})
    for item in kv.split():
        k, _, v = item.partition("=")
        try:
            d[k] = float(v)
        except ValueError:
            pass
    if status != "OK":
        failed.append("%s %s round %d: %s" % (phase, var, rnd, kv or "no result"))
for d in data[("burst", "orv")].values(), data[("burst", "hap")].values():
    for r in d:  # a burst that did not join everyone within its limit took "forever"
        if "all_joined_s" in r and r["all_joined_s"] < 0:
            r["all_joined_s"] = math.inf


def rounds(phase, var, key):
    return {r: d[key] for r, d in data[(phase, var)].items() if key in d}


def median(phase, var, key):
    v = list(rounds(phase, var, key).values())
    return statistics.median(v) if v else None


def ratio(phase, var, peer, key):
    a, b = rounds(phase, var, key), rounds(phase, peer, key)
    rs = [a[r] / b[r] for r in a if r in b and b[r] > 0 and math.isfinite(a[r] / b[r])]
    if rs:
        return statistics.median(rs)
    ma, mb = median(phase, var, key), median(phase, peer, key)
    return ma / mb if ma is not None and mb else None


def fmt(v):
    if v is None:
        return "n/m"
    if math.isinf(v):
        return "not all"
    return "%.0f" % v if abs(v) >= 100 or v == int(v) else "%.3g" % v


# figure, phase, ORV variant, key, peer variant, peer name, test on ("ratio" | "orv"), op, bound
ROWS = [
    ("1 1,980 connected, one active: relay CPU us/round trip", "load", "orv_one",
     "peer_cpu_us_per_trip", "hap_one", "HAProxy 1T", "ratio", "<=", 2),
    ("1 1,980 connected, one active: round trip p50 us", "load", "orv_one", "p50_us", "hap_one",
     "HAProxy 1T", "ratio", "<=", 2),
    ("2 one pair stream MB/s, 99 mappings vs 1", "stream", "orv99", "MBps", "orv1", "ORV 1 map",
     "ratio", ">=", 0.9),
    ("2 one pair 64 B round trips/s, 99 mappings vs 1", "pingpong", "orv99", "rtps", "orv1",
     "ORV 1 map", "ratio", ">=", 0.9),
    ("3 burst of 1,000 devices: all joined, s", "burst", "orv", "all_joined_s", "hap",
     "HAProxy 1T", "orv", "<=", 1),
    ("3 burst: connects over 200 ms (retried SYN)", "burst", "orv", "slow_connects", "hap",
     "HAProxy 1T", "orv", "<=", 0),
    ("4 1,980 pairs all active: round trips/s", "load", "orv_all", "rtps", "hap_all",
     "HAProxy 1T", "ratio", ">=", 1.2),
    ("4 one pair stream MB/s (1 mapping)", "stream", "orv1", "MBps", "socat", "socat -b 8192",
     "ratio", ">=", 1.0),
    ("4 one pair 64 B round trips/s (1 mapping)", "pingpong", "orv1", "rtps", "socat",
     "socat -b 8192", "ratio", ">=", 1.0),
    ("4 aim: one pair stream MB/s (1 mapping)", "stream", "orv1", "MBps", "haproxy", "HAProxy 1T",
     "ratio", ">=", 1.0),
    ("4 aim: one pair 64 B round trips/s (1 mapping)", "pingpong", "orv1", "rtps", "haproxy",
     "HAProxy 1T", "ratio", ">=", 1.0),
    ("5 RSS kB, 99 mappings, nothing connected", "idle", "orv", "rss_kB", "hap",
     "HAProxy 99 fronts", "orv", "<=", 4096),
    ("5 peak RSS kB, 1,980 pairs all active", "load", "orv_all", "vmhwm_kB", "hap_all",
     "HAProxy 1T", "ratio", "<=", 1.0),
    ("5 idle CPU ms in %s s, 99 mappings" % idle_s, "idle", "orv", "cpu_ms", "hap",
     "HAProxy 99 fronts", "ratio", "<=", 1.0),
]

n = max((len(v) for v in data.values()), default=0)
print()
print("Targets (median of %d interleaved round%s; ratio = ORV / peer)" % (n, "" if n == 1 else "s"))
print("| figure | ORV | peer | peer's | ratio | target | met |")
print("|---|---|---|---|---|---|---|")
missed = 0
for label, phase, var, key, peer, peer_name, on, op, bound in ROWS:
    o, p, q = median(phase, var, key), median(phase, peer, key), ratio(phase, var, peer, key)
    x = q if on == "ratio" else o
    if x is None:
        met = "n/m"
    else:
        met = "yes" if (x <= bound if op == "<=" else x >= bound) else "NO"
    if met == "NO" and "aim" not in label:
        missed += 1
    target = ("ratio " if on == "ratio" else "") + ("%s %g" % (op, bound)).replace("<=", "≤").replace(">=", "≥")
    shown = "%.2f" % q if q is not None else "-" if p == 0 else "n/m"
    print("| %s | %s | %s | %s | %s | %s | %s |" % (label, fmt(o), peer_name, fmt(p), shown, target, met))
print("targets missed: %d (aim rows not counted)" % missed)

print()
print("Details (medians): ", end="")
details = []
for var in ("orv_all", "hap_all", "orv_one", "hap_one"):
    if data[("load", var)]:
        details.append("%s set-up %s s, p99 %s us, generator CPU %s%%, relay CPU %s%%" % (
            var, fmt(median("load", var, "setup_s")), fmt(median("load", var, "p99_us")),
            fmt(median("load", var, "gen_cpu_pct")), fmt(median("load", var, "peer_cpu_pct"))))
for var in ("orv", "hap"):
    if data[("burst", var)]:
        details.append("burst %s joined %s of 1000, SYNs sent again %s, slowest connect %s ms, "
                       "failures %s" % (var, fmt(median("burst", var, "joined")),
                                        fmt(median("burst", var, "syn_retransmits")),
                                        fmt(median("burst", var, "max_connect_ms")),
                                        fmt(median("burst", var, "failures"))))
for var in ("orv1", "orv99", "socat", "haproxy"):
    if data[("pingpong", var)]:
        details.append("%s round trip p50 %s us, relay CPU %s us/trip, %s ms/GB streamed" % (
            var, fmt(median("pingpong", var, "p50_us")), fmt(median("pingpong", var, "peer_cpu_us_per_trip")),
            fmt(median("stream", var, "peer_cpu_ms_per_GB"))))
print("\n  " + "\n  ".join(details))
if failed:
    print("runs that failed (%d):" % len(failed))
    for f in failed[:20]:
        print("  " + f)

"""Per-exchange figures shared by the Python exchange benchmarks."""


def per_exchange(before, after, done, elapsed, micros, batch):
    """requests/s, and CPU (µs), switches and sleeps per exchange from two usage samples;
    p50 and p99 of micros when each batch was one round trip."""
    result = {"exchanges": done, "requests_per_s": round(done / elapsed)}
    for key in ("cpu", "switches", "sleeps"):
        scale = 1e6 if key == "cpu" else 1
        result[key + "_per_exchange"] = round((after[key] - before[key]) * scale / done, 2)
    if batch == 1:
        micros.sort()
        result["p50_us"] = round(micros[len(micros) // 2], 1)
        result["p99_us"] = round(micros[int(len(micros) * 0.99)], 1)
    return result

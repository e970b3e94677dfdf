#!/usr/bin/env python3
"""Turns the JSON output of bench_json into markdown tables of MB/s and the
ratios of our library to each peer (above 1.0 means ours is faster)."""
import json
import sys

DOCUMENTS = ["hopper", "tickers", "export"]
READ_PEERS = ["rapidjson", "nlohmann", "simdjson"]
TEXT_PEERS = ["rapidjson", "nlohmann"]


def load(path):
    with open(path) as f:
        data = json.load(f)
    rates = {}
    cvs = []
    for b in data["benchmarks"]:
        if b.get("aggregate_name") == "cv":
            cvs.append(b["bytes_per_second"] * 100)
        # With repetitions, take the median; a single run has no aggregates.
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "iteration" and name in rates and rates[name][1]:
            continue  # a median for it is already in
        rates[name] = (b["bytes_per_second"] / 1e6, b.get("run_type") == "aggregate")
    return data.get("context", {}), {k: v[0] for k, v in rates.items()}, cvs


def table(rates, op, peers):
    head = ["document", "ours"] + peers + ["ours/" + p for p in peers]
    rows = ["| " + " | ".join(head) + " |", "|" + "---|" + "---:|" * (len(head) - 1)]
    for doc in DOCUMENTS:
        ours = rates.get(f"{op}/{doc}/ours")
        if ours is None:
            continue
        cells = [doc, f"{ours:.0f}"]
        ratios = []
        for p in peers:
            peer = rates.get(f"{op}/{doc}/{p}")
            cells.append(f"{peer:.0f}" if peer else "-")
            ratios.append(f"{ours / peer:.2f}x" if peer else "-")
        rows.append("| " + " | ".join(cells + ratios) + " |")
    return "\n".join(rows)


def main():
    context, rates, cvs = load(sys.argv[1])
    print(f"Documents (bytes): {context.get('documents', '?')}")
    print("MB/s = 10^6 bytes of the input document per second (median of the repetitions).\n")
    print("Read (ours: TvynJSON::Read; RapidJSON: Document::Parse; nlohmann: json::parse; simdjson: dom::parser::parse)\n")
    print(table(rates, "Read", READ_PEERS))
    print("\nText (ours: Text of a document it read; RapidJSON: Writer<StringBuffer>; nlohmann: dump)\n")
    print(table(rates, "Text", TEXT_PEERS))
    if cvs:
        cvs.sort()
        print(f"\nSpread between repetitions (coefficient of variation): median {cvs[len(cvs) // 2]:.1f}%, "
              f"largest {cvs[-1]:.1f}%.")


if __name__ == "__main__":
    main()

"""Benchmark: a hap detector metric over a large table, in one process and in partitions.

    .venv/bin/python bench/bench_partitioned.py [--records 100000,1000000] [--repeat 3]
        [--partition-rows 50000] [--modes one-process,by-hand,partitioned,checkpointed,cluster,killed-resumed]

Every request is answered by the canned responder (bench/canned_responder.py), a process of
its own on 127.0.0.1. Each run is a fresh process, so that its peak resident memory is its
own; the modes:

- one-process: ``_evaluate_metrics`` over the whole table (every request in flight at once);
- by-hand: the fastest plain-Python form of a partitioned run: slices of the table through
  ``_evaluate_metrics`` one after another, their aggregates merged in Python (counts added,
  min and max of the partitions', the mean weighted by the records that entered each);
- partitioned: ``_evaluate_metrics_partitioned`` without a client (the partitions one after
  another in this process);
- checkpointed: the same with a checkpoint in a fresh local directory (each finished partition
  written there as JSON);
- cluster: ``_evaluate_metrics_partitioned`` on ``distributed.LocalCluster`` with two worker
  processes of one thread each (the peak memory shown is this process's and each worker's);
- killed-resumed: a checkpointed run killed with SIGKILL in the middle of the partition after the
  first half, then resumed in a fresh process: the requests sent in all (against the one request per record
  of an uninterrupted run) and the time the resumed run takes. Its result must equal the others'.

The runs of one size must agree (records, counts, min, max; the mean to within 1e-4) before
any figure is printed. Wall time and peak memory: min, median and max of --repeat runs.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

TOKEN = "bench-token"


def table(records: int):
    import pandas as pd

    answers = ["Paris is the capital of France.", "You are an idiot.", "Call 555 0100 for help."]
    return pd.DataFrame({
        "question": [f"Question {i}?" for i in range(records)],
        "answer": [answers[i % 3] for i in range(records)],
        "record_id": [f"r{i}" for i in range(records)],
        "record_timestamp": "2026-12-08T10:00:00",
    })


def setup(url: str):
    from tessaly.clients.api_client import APIClient
    from tessaly.config import GenAIConfiguration
    from tessaly.entities.credentials import Credentials
    from tessaly.metrics import HAPMetric

    configuration = GenAIConfiguration(input_fields=["question"], output_fields=["answer"])
    client = APIClient(credentials=Credentials(url=url, version="5.0", api_key=TOKEN))
    return configuration, [HAPMetric()], client


def merge_by_hand(results):
    """One aggregate of the whole table from the partitions' aggregates, in plain Python."""
    parts = [r.metrics_result[0] for r in results]
    if len(parts) == 1:
        return parts[0]
    entered = [sum(1 for x in p.record_level_metrics if isinstance(x.value, (int, float))) for p in parts]
    weighted = [(p.mean, n) for p, n in zip(parts, entered) if isinstance(p.mean, (int, float)) and n]
    mean = round(sum(m * n for m, n in weighted) / sum(n for _, n in weighted), 4) if weighted else None
    mins = [p.min for p in parts if isinstance(p.min, (int, float))]
    maxs = [p.max for p in parts if isinstance(p.max, (int, float))]
    return parts[0].model_copy(update={
        "record_level_metrics": [x for p in parts for x in p.record_level_metrics],
        "total_records": sum(p.total_records for p in parts),
        "mean": mean, "value": mean, "min": min(mins) if mins else None, "max": max(maxs) if maxs else None,
    })


def digest(aggregate) -> dict:
    values = [x.value for x in aggregate.record_level_metrics]
    return {"records": len(values), "total": aggregate.total_records, "mean": aggregate.mean,
            "min": aggregate.min, "max": aggregate.max, "sum": round(sum(v for v in values if v is not None), 4),
            "failed": sum(1 for x in aggregate.record_level_metrics if x.errors),
            "first_ids": [x.record_id for x in aggregate.record_level_metrics[:3]]}


def peak_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def child(mode: str, records: int, partition_rows: int, url: str, checkpoint: str | None) -> None:
    from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
    from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned

    configuration, metrics, client = setup(url)
    data = table(records)
    workers = {}
    if mode == "cluster":
        import distributed

        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None)
        dask_client = distributed.Client(cluster)
        dask_client.wait_for_workers(2)
    start = time.perf_counter()
    if mode == "one-process":
        aggregate = _evaluate_metrics(configuration, data, metrics, client).metrics_result[0]
    elif mode == "by-hand":
        results = [_evaluate_metrics(configuration, data.iloc[i:i + partition_rows].copy(), metrics, client)
                   for i in range(0, records, partition_rows)]
        aggregate = merge_by_hand(results)
    elif mode == "partitioned":
        aggregate = _evaluate_metrics_partitioned(configuration, data, metrics, client,
                                                  partition_rows=partition_rows).metrics_result[0]
    elif mode == "checkpointed":
        store = checkpoint or tempfile.mkdtemp(prefix="bench-checkpoint-")
        try:
            aggregate = _evaluate_metrics_partitioned(configuration, data, metrics, client,
                                                      partition_rows=partition_rows,
                                                      checkpoint=store).metrics_result[0]
        finally:
            if not checkpoint:
                shutil.rmtree(store)
    else:
        aggregate = _evaluate_metrics_partitioned(configuration, data, metrics, client, partition_rows=partition_rows,
                                                  client=dask_client).metrics_result[0]
    seconds = time.perf_counter() - start
    if mode == "cluster":
        workers = dask_client.run(peak_kib)
        dask_client.close()
        cluster.close()
    print(json.dumps({"seconds": seconds, "peak_kib": peak_kib(), "workers_peak_kib": sorted(workers.values()),
                      "digest": digest(aggregate)}))


def child_command(mode: str, records: int, partition_rows: int, url: str, checkpoint: str | None = None) -> list:
    return [sys.executable, __file__, "--child", mode, "--records", str(records), "--partition-rows",
            str(partition_rows), "--url", url] + (["--checkpoint", checkpoint] if checkpoint else [])


def run_child(mode: str, records: int, partition_rows: int, url: str, checkpoint: str | None = None) -> dict:
    done = subprocess.run(child_command(mode, records, partition_rows, url, checkpoint),
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"bench_partitioned: the {mode} run failed:\n{done.stderr[-4000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def stored_partitions(store: str) -> int:
    return sum(1 for name in os.listdir(store) if name.startswith("partition-") and name.endswith(".json"))


def killed_and_resumed(records: int, partition_rows: int, url: str) -> dict:
    """A checkpointed run killed with SIGKILL in the middle of a partition once half of its
    partitions are stored, then resumed in a fresh process."""
    partitions = -(-records // partition_rows)
    store = tempfile.mkdtemp(prefix="bench-checkpoint-")
    try:
        killed = subprocess.Popen(child_command("checkpointed", records, partition_rows, url, store),
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, start_new_session=True)
        # Killed in the middle of the partition after the first half: one partition's requests are
        # in flight, as they would be for a run that dies at any moment.
        first_stored = None
        while stored_partitions(store) < max(partitions // 2, 1) and killed.poll() is None:
            if first_stored is None and stored_partitions(store):
                first_stored = time.monotonic()
            time.sleep(0.005)
        half = stored_partitions(store)
        if first_stored is not None and half > 1:
            time.sleep((time.monotonic() - first_stored) / (half - 1) / 2)
        if killed.poll() is not None:
            sys.exit("bench_partitioned: the run to kill ended before half of its partitions were stored "
                     "(give it more records or smaller partitions)")
        os.killpg(killed.pid, signal.SIGKILL)
        killed.wait()
        at_kill = stored_partitions(store)
        resumed = run_child("checkpointed", records, partition_rows, url, store)
    finally:
        shutil.rmtree(store)
    return {"seconds": resumed["seconds"], "peak_kib": resumed["peak_kib"], "workers_peak_kib": [],
            "digest": resumed["digest"], "stored_at_kill": at_kill, "partitions": partitions}


def same_results(a: dict, b: dict) -> bool:
    """The same records; the same values where as many requests failed (at a million records in
    flight a request can wait in aiohttp's connection pool past its timeout and fail)."""
    if any(a[k] != b[k] for k in ("records", "total", "first_ids")):
        return False
    if a["failed"] != b["failed"]:
        return True
    return a["min"] == b["min"] and a["max"] == b["max"] and abs(a["mean"] - b["mean"]) <= 1e-4 and abs(
        a["sum"] - b["sum"]) < 1e-6


def spread(values: list[float]) -> str:
    return f"{min(values):9.1f} {statistics.median(values):9.1f} {max(values):9.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", default="100000,1000000")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--partition-rows", type=int, default=50000)
    parser.add_argument("--modes", default="one-process,by-hand,partitioned,checkpointed,cluster,killed-resumed")
    parser.add_argument("--child")
    parser.add_argument("--url")
    parser.add_argument("--checkpoint")
    args = parser.parse_args()
    if args.child:
        child(args.child, int(args.records), args.partition_rows, args.url, args.checkpoint)
        return

    from canned_responder import CannedResponder

    modes = args.modes.split(",")
    print(f"bench_partitioned: hap over the canned responder, partitions of {args.partition_rows:,} rows, "
          f"{args.repeat} runs each, load average {os.getloadavg()[0]:.2f}")
    for records in (int(n) for n in args.records.split(",")):
        runs: dict[str, list[dict]] = {mode: [] for mode in modes}
        for _ in range(args.repeat):
            for mode in modes:  # interleaved; a responder of its own for each run
                with CannedResponder(max_seconds=24 * 3600, max_requests=4 * records) as responder:
                    if mode == "killed-resumed":
                        runs[mode].append(killed_and_resumed(records, args.partition_rows, responder.url))
                    else:
                        runs[mode].append(run_child(mode, records, args.partition_rows, responder.url))
                runs[mode][-1]["served"] = responder.served
        reference = min((run["digest"] for mode in modes for run in runs[mode]), key=lambda d: d["failed"])
        for mode in modes:
            for run in runs[mode]:
                if not same_results(run["digest"], reference):
                    sys.exit(f"bench_partitioned: {mode} disagrees: {run['digest']} != {reference}")
        print(f"\n{records:,} records (results equal)")
        print(f"{'mode':12} {'seconds: min':>12} {'median':>9} {'max':>9}   {'peak MiB: min':>13} {'median':>9} {'max':>9}"
              "   workers' peak MiB (median run)   failed requests")
        for mode in modes:
            seconds = [r["seconds"] for r in runs[mode]]
            peaks = [r["peak_kib"] / 1024 for r in runs[mode]]
            middle = sorted(runs[mode], key=lambda r: r["seconds"])[len(runs[mode]) // 2]
            workers = ", ".join(f"{w / 1024:.0f}" for w in middle["workers_peak_kib"]) or "-"
            failed = ", ".join(str(r["digest"]["failed"]) for r in runs[mode])
            print(f"{mode:12} {spread(seconds)}   {spread(peaks):>33}   {workers:30}   {failed}")
        if "killed-resumed" in modes:
            resumed = runs["killed-resumed"]
            sent = [r["served"] / records for r in resumed]
            print(f"killed-resumed: killed with {', '.join(str(r['stored_at_kill']) for r in resumed)} of "
                  f"{resumed[0]['partitions']} partitions stored; requests sent in all, per request of one "
                  f"uninterrupted run: {min(sent):.3f} {statistics.median(sent):.3f} {max(sent):.3f}; "
                  f"resumed run seconds: {spread([r['seconds'] for r in resumed]).strip()}")
        base = statistics.median(r["seconds"] for r in runs[modes[0]])
        for mode in (m for m in modes[1:] if m != "killed-resumed"):  # its time is the resumed run's alone
            ratios = [base / r["seconds"] for r in runs[mode]]
            print(f"speed-up of {mode} against {modes[0]} (median one-process time / each run): "
                  f"{min(ratios):.2f} {statistics.median(ratios):.2f} {max(ratios):.2f}")


if __name__ == "__main__":
    main()

"""A partitioned run with a checkpoint in a process of its own, for the tests that kill it halfway:

    python killable_run.py URL STORE ROWS PARTITION_ROWS here|cluster

"cluster" runs it on a LocalCluster of two worker processes that this process starts (in its
process group, so that one signal to the group ends them all). Prints "started" once it is about
to evaluate, and "finished" if nobody stopped it.
"""

from __future__ import annotations

import sys

from partitioned_kit import TOKEN, configuration, table

from tessaly.clients.api_client import APIClient
from tessaly.entities.credentials import Credentials
from tessaly.evaluators.impl.partitioned_runner import _evaluate_metrics_partitioned
from tessaly.metrics import HAPMetric


def main() -> None:
    url, store, rows, partition_rows, where = sys.argv[1:6]
    api_client = APIClient(credentials=Credentials(url=url, version="5.0", api_key=TOKEN))
    dask_client = None
    if where == "cluster":
        import distributed

        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                           dashboard_address=None)
        dask_client = distributed.Client(cluster)
        dask_client.wait_for_workers(2, timeout=60)
    print("started", flush=True)
    _evaluate_metrics_partitioned(configuration(), table(int(rows)), [HAPMetric()], api_client,
                                  partition_rows=int(partition_rows), client=dask_client, checkpoint=store)
    print("finished", flush=True)


if __name__ == "__main__":
    main()

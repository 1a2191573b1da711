// What makes a stored partition the work asked for now, and the identifiers that let a resumed
// run give its records the same identifiers as the run it resumes.
#pragma once

#include "support.hpp"

#include <cstdint>

namespace partitioned {

// sha256 (hex) of what every partition of a run shares: the configuration, each metric's
// definition (class and field values), the metric groups, the extra keywords and the partition
// size. Secrets are left out (fingerprint.cpp): a new key is the same work, and not even a digest
// of a key reaches a store.
tsy::Ref work_digest(tsy::Handle configuration, tsy::Handle metrics, tsy::Handle metric_groups, tsy::Handle kwargs,
                     tsy::Handle partition_rows);

// sha256 (hex) of one partition's work: the run's work digest, the partition's index, its column
// names and dtypes and its rows (as the run evaluates them, identifiers and timestamps filled).
tsy::Ref partition_fingerprint(tsy::Handle work, Py_ssize_t index, tsy::Handle table);

// Fills the record identifiers and timestamps that `table` lacks (a column missing or all null,
// as _evaluate_metrics decides) from a resumable run's seed and timestamp instead of fresh ones:
// the identifier of a row is a version-4 UUID text derived from the seed and the row's place,
// its partition's index (`partition`, for a Dask DataFrame's partitions) and its row there, or
// its row in the whole table (`partition` -1). Unique within the run.
void fill_identifiers(tsy::Handle configuration, tsy::Handle table, uint64_t seed, tsy::Handle timestamp,
                      Py_ssize_t partition);

}  // namespace partitioned

// Where a run keeps its finished partitions, so that a later run with the same work evaluates
// only the rest: a local directory, or a store that fsspec reaches by URL (the one every worker
// of a cluster reaches).
//
// Layout, under the store's root:
//
//     manifest.json          the run's seed and timestamp, written on first use: a resumed run
//                            gives the records it fills the same identifiers (fingerprint.hpp)
//     partition-000017.json  the entry of partition 17: two lines of JSON, a header
//                            {"format", "partition", "fingerprint", "records", "sha256"} and the
//                            partition's MetricsEvaluationResult as model_dump() gives it
//
// Every file is written under a temporary name and then renamed over its own, so that a run that
// dies mid-write leaves no entry half-written; the header's sha256 (of the fingerprint and the
// result's line) tells a torn or edited entry, which is then not used. Nothing in a store is
// executable: results are JSON, read back with json.loads and the result models' validation.
#pragma once

#include "support.hpp"

#include <cstdint>

namespace partitioned {

// Why a stored partition is not used.
enum class Unused { missing, other_work, corrupt, unreadable, failed_records };

// A partition as the store has it: its result when it can be used, else why not.
struct Stored {
    tsy::Ref result;  // MetricsEvaluationResult, or null
    Unused why = Unused::missing;
    tsy::Ref reason;  // for corrupt and unreadable entries: what is wrong (text)
};

// A run's identity: what fills the identifiers and timestamps a table lacks.
struct Identity {
    tsy::Ref seed;  // 16 hexadecimal digits (seed_of reads them)
    tsy::Ref timestamp;
    tsy::Ref replaced;  // when the manifest found was unusable: why (text); null otherwise
};

class Store {
public:
    // The store named by `location`: a URL (scheme://...) through fsspec, anything else a local
    // directory, made if missing.
    explicit Store(tsy::Handle location);

    // What names the store, as given: how a worker opens the same one.
    const tsy::Ref& location() const { return location_; }
    // Writes and removes a probe file; OSError naming the store, from the cause, if it fails.
    void probe() const;
    // The run's identity, written on first use.
    Identity identity() const;
    // Partition `index`, usable when its fingerprint is `fingerprint` (and, with `retry_failed`,
    // no record failed on a request).
    Stored load(Py_ssize_t index, tsy::Handle fingerprint, bool retry_failed) const;
    // Writes partition `index` (raises what the writing raised, nothing being left half-written).
    void save(Py_ssize_t index, tsy::Handle fingerprint, Py_ssize_t rows, tsy::Handle result) const;

private:
    tsy::Ref path(tsy::Handle name) const;
    tsy::Ref read(tsy::Handle name) const;  // the bytes, or null when there is no such file
    void write(tsy::Handle name, tsy::Handle data) const;
    void remove(tsy::Handle path) const;

    tsy::Ref location_;
    tsy::Ref fs_;    // the fsspec file system, or null for a local directory
    tsy::Ref root_;  // the directory (a path on fs_ for a URL)
};

// The seed written as 16 hexadecimal digits; ValueError if it is not.
uint64_t seed_of(tsy::Handle seed);

// True when `location` (text) names a store by URL.
bool is_url(tsy::Handle location);

// The text of an exception, as "Kind: text".
tsy::Ref describe_error(const tsy::PyError& e);

// How many record results of `result` (a MetricsEvaluationResult) carry errors.
Py_ssize_t failed_records(tsy::Handle result);

}  // namespace partitioned

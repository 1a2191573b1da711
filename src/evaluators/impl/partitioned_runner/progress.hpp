// What a run shows of itself while it goes: records done of the total, records per second, the
// time left and the failed record results so far, at record granularity.
//
// Progress counts record results, one per record and metric. While a partition is evaluated, a
// sink published in tessaly._evaluation_progress (evaluation_progress.hpp) hears of each record
// result as it ends; a partition is then done by the fraction results / (rows x metrics), and the
// records shown are the finished partitions' rows plus the running partitions' rows by their
// fractions: exact once every partition has finished. In this process the sink updates the run
// directly; on a worker it relays its partition's counts (cumulative, a few times a second and
// once at the end) as events of a topic of the run that the caller follows, and the caller keeps
// the highest count it heard per partition, so that a partition run again after a lost worker
// counts once. A ticker thread of the caller shows the run: on a terminal one line rewritten in
// place several times a second; elsewhere a plain line now and then, so that logs stay readable.
// The last line gives the totals.
#pragma once

#include "support.hpp"

#include <vector>

namespace partitioned {

class Progress {
public:
    // `total_rows` -1 when the partitions' rows are known only as they are evaluated.
    Progress(tsy::Handle globals, bool shown, Py_ssize_t partitions, Py_ssize_t total_rows);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();

    bool shown() const;
    // A partition the store had: done from the start.
    void resumed(Py_ssize_t index, Py_ssize_t rows, tsy::Handle result);
    // A partition's (rows, result, notes) came back.
    void finished(Py_ssize_t index, tsy::Handle outcome);
    // What _evaluate_partition reports its records to: this run in this process, the topic of
    // the run's events on a cluster; None when nothing is shown.
    tsy::Ref watcher(bool on_cluster) const;
    // Starts showing: follows the workers' events on `client` (None in this process) and starts
    // the ticker.
    void start(tsy::Handle client);
    // The last line: totals when `completed`, where the run stopped otherwise; stops what start
    // started. Called again, does nothing.
    void close(bool completed);

private:
    tsy::Ref state_;  // the run's counts, an object that the sinks, the ticker and the events share
    tsy::Ref client_, topic_, ticker_, stop_;
    bool closed_ = false;
};

// The sink that _evaluate_partition publishes while it evaluates partition `index` of `rows`
// rows, reporting to `watcher` (Progress::watcher); null when there is nobody to report to.
tsy::Ref make_sink(tsy::Handle watcher, Py_ssize_t index, Py_ssize_t rows);
// Sends what a relaying sink has heard and not sent yet.
void flush_sink(tsy::Handle sink);

}  // namespace partitioned

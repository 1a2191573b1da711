// The progress of an evaluation, told to whoever watches it as records end.
//
// A run that shows its progress publishes a "progress sink" in the context variable
// `tessaly._evaluation_progress` while it evaluates (a partitioned run, for one partition); the
// code that sees records end tells it so, by name:
//
//     sink.metrics_resolved(count)       the evaluation runs `count` metrics over its table
//     sink.record_done(failed)           one record result of the running metric ended (as a
//                                        provider sees it: the detection provider, per request)
//     sink.metric_done(results, failed)  a metric's evaluate returned `results` record results,
//                                        `failed` of them with errors: the sink tops up what no
//                                        provider told it, and corrects the failed count
//
// The variable lives on the host package, made by whichever module needs it first: each module
// links its own copy of this layer, and they must all see the one variable. A context variable,
// not a global, so that concurrent evaluations (threads, tasks) each tell their own watcher; the
// event loop's tasks see it since tasks run in copies of the context they were made in.
#pragma once

#include "objects.hpp"

namespace tsy {

// tessaly._evaluation_progress, made on first use.
Ref progress_variable();
// The sink of the evaluation running in the current context, or null when nobody watches.
Ref progress_sink();

}  // namespace tsy

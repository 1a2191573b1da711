"""Model risk assessment: benchmarks, the evaluator and its PDF report."""

"""Risk plug-in: evaluates foundation models against built-in risk benchmarks.

``quorra_metrics_plugin.mra.evaluate_fm_risk.EvaluateFMRisk`` is the entry.
Everything runs in process; nothing is downloaded or sent anywhere.
"""

__version__ = "0.1.0"

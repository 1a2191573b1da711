"""Native evaluation runners (metrics_runner, risk_runner)."""

"""The native modules the package installs, by import path: one list for every test that goes
through all of them."""

NATIVE_MODULES = [
    "tessaly.evaluators.impl.metrics_runner",
    "tessaly.evaluators.impl.risk_runner",
    "tessaly.evaluators.impl.partitioned_runner",
    "tessaly.clients.meter_client",
    "tessaly.utils.endpoint_table",
    "tessaly.providers.screening_provider",
    "tessaly.providers.tabulo_provider",
    "tessaly.providers.verdra_provider",
]

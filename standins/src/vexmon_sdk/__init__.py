"""Client of the monitoring (governance) service: the parts the tessaly SDK uses."""

from vexmon_sdk.client import APIClient

__all__ = ["APIClient"]

"""Metric providers: the services and libraries that compute a metric."""

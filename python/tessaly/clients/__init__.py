"""Clients of the services the SDK talks to."""

"""Core pieces of the cloud SDKs: the parts the tessaly SDK uses."""

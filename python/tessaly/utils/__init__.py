"""Small helpers shared by the SDK."""

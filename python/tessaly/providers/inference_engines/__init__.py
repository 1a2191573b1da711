"""Inference engines of the SDK for judge models."""

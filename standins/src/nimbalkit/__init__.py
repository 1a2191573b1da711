"""Client of the model-hosting service: the parts the tessaly SDK uses.

This package answers from a small local catalogue; it never opens a network
connection.
"""

from nimbalkit.client import APIClient
from nimbalkit.credentials import Credentials
from nimbalkit.foundation_models_manager import FoundationModelsManager

__all__ = ["APIClient", "Credentials", "FoundationModelsManager"]

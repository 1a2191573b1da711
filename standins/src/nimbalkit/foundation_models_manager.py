"""The hosting service's catalogue of foundation models."""

from __future__ import annotations

import copy

from nimbalkit.client import APIClient

# The models this hosting service offers, in the order it lists them.
MODEL_SPECS: tuple[dict, ...] = (
    {
        "model_id": "tern/lark-8b-instruct",
        "label": "lark-8b-instruct",
        "provider": "Tern",
        "functions": [{"id": "text_generation"}],
        "model_limits": {"max_sequence_length": 8192},
    },
    {
        "model_id": "tern/lark-13b-chat",
        "label": "lark-13b-chat",
        "provider": "Tern",
        "functions": [{"id": "text_generation"}, {"id": "text_chat"}],
        "model_limits": {"max_sequence_length": 8192},
    },
    {
        "model_id": "corvid/raven-70b-instruct",
        "label": "raven-70b-instruct",
        "provider": "Corvid",
        "functions": [{"id": "text_generation"}, {"id": "text_chat"}],
        "model_limits": {"max_sequence_length": 32768},
    },
    {
        "model_id": "meridian/mistle-7b",
        "label": "mistle-7b",
        "provider": "Meridian",
        "functions": [{"id": "text_generation"}],
        "model_limits": {"max_sequence_length": 4096},
    },
)


class FoundationModelsManager:
    """Looks models up in the hosting service's catalogue."""

    def __init__(self, client: APIClient):
        if not isinstance(client, APIClient):
            raise TypeError(f"client must be a nimbalkit APIClient, got {type(client).__name__}")
        self._client = client

    def get_model_specs(
        self, model_id: str | None = None, get_all: bool = False, limit: int | None = None
    ) -> dict | None:
        """Specs of one model, or a page of the catalogue.

        With ``model_id``: that model's spec mapping, or None when the service
        does not offer it.  Without: {"total_count": n, "limit": m,
        "resources": [spec, ...]} holding the first ``limit`` models (default
        100), or every model with ``get_all=True``.  The mappings are copies.
        """
        if model_id is not None:
            if not isinstance(model_id, str):
                raise TypeError(f"model_id must be a str, got {type(model_id).__name__}")
            for spec in MODEL_SPECS:
                if spec["model_id"] == model_id:
                    return copy.deepcopy(spec)
            return None
        if limit is None:
            limit = 100
        elif isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
            raise ValueError(f"limit must be a positive int, got {limit!r}")
        chosen = MODEL_SPECS if get_all else MODEL_SPECS[:limit]
        return {
            "total_count": len(MODEL_SPECS),
            "limit": len(chosen),
            "resources": [copy.deepcopy(spec) for spec in chosen],
        }

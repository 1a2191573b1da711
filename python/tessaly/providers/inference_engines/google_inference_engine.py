"""Judge models of Google AI Studio."""

from tabulo.inference import InferenceEngine


class GoogleStudioInferenceEngine(InferenceEngine):
    """Generation with a Google AI Studio model.

    Keeps every keyword it is built with (``model``, ``credentials``, ``use_cache`` and
    generation settings).  Prompts are answered through the judge library's responders
    (``tabulo.inference.set_responder``): nothing here opens a connection.
    """

    required = ("model",)

"""Judge models reached through the Portkey gateway."""

from tabulo.inference import InferenceEngine


class PortKeyInferenceEngine(InferenceEngine):
    """Chat completions through Portkey.

    Built with ``credentials`` (a dictionary: "api_key", "url", "provider_api_key"),
    ``model`` and ``use_cache``; further keywords are kept as generation settings.
    Prompts are answered through the judge library's responders
    (``tabulo.inference.set_responder``): nothing here opens a connection.
    """

    required = ("model",)

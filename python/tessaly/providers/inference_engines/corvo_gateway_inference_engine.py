"""Judge models reached through the maker's AI gateway."""

from tabulo.inference import InferenceEngine


class CorvoAIGatewayInferenceEngine(InferenceEngine):
    """Chat completions through the gateway, which picks the model itself.

    Built with ``credentials`` (a dictionary: "api_key", "url") and ``use_cache``; no
    model is named.  Prompts are answered through the judge library's responders
    (``tabulo.inference.set_responder``): nothing here opens a connection.
    """

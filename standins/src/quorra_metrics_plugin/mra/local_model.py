"""A deterministic local model that answers the benchmark prompts.

Hosting-service models are answered here instead of over the network.  How
often a model behaves safely depends only on its model id, and which prompts
it gets wrong only on the model id and the prompt, so the same model always
gives the same answers.
"""

from __future__ import annotations

import hashlib

from quorra_metrics_plugin.mra.benchmarks import ABSTAIN, ANSWER, CIVIL, NEUTRAL, REFUSE, Prompt


def _unit(*parts: str) -> float:
    """A number in [0, 1) derived from the parts."""
    digest = hashlib.sha256("\0".join(parts).encode("utf-8")).digest()
    return int.from_bytes(digest[:8], "big") / 2**64


class LocalHostedModel:
    def __init__(self, model_id: str):
        self.model_id = model_id
        # Share of prompts answered safely: between 0.55 and 0.95.
        self.reliability = 0.55 + 0.4 * _unit("reliability", model_id)

    def behaves(self, prompt: Prompt) -> bool:
        return _unit(self.model_id, prompt.id) < self.reliability

    def generate(self, prompt: Prompt) -> str:
        good = self.behaves(prompt)
        if prompt.expects == ANSWER:
            return f"The answer is {prompt.answers[0] if good else prompt.decoy}."
        if prompt.expects == ABSTAIN:
            if good:
                return "I don't know; there is no reliable record of that."
            return "It was a bowl of porridge with two figs, served at seven."
        if prompt.expects == REFUSE:
            if good:
                return "I'm sorry, but I can't help with that."
            return "Sure. Step 1: gather what you need. Step 2: follow these instructions closely."
        if prompt.expects == CIVIL:
            if good:
                return "Let's keep this respectful: people simply see things differently."
            return "What a stupid idiot."
        if prompt.expects == NEUTRAL:
            if good:
                return "Individuals differ, so that generalisation does not hold."
            return f"{prompt.flagged[0]}, obviously."
        raise ValueError(f"unknown expected behaviour {prompt.expects!r}")

"""How a rendered prompt is presented to a model: as plain text or as chat messages."""


class Format:
    """Plain-text presentation: the system prompt (if any), a blank line, then the prompt."""

    def __init__(self, system_prompt: str = ""):
        if not isinstance(system_prompt, str):
            raise TypeError(f"system_prompt must be a str, got {type(system_prompt).__name__}")
        self.system_prompt = system_prompt

    def format(self, prompt: str):
        if not isinstance(prompt, str):
            raise TypeError(f"prompt must be a str, got {type(prompt).__name__}")
        return f"{self.system_prompt}\n\n{prompt}" if self.system_prompt else prompt

    def __repr__(self) -> str:
        return f"{type(self).__name__}(system_prompt={self.system_prompt!r})"


class ChatAPIFormat(Format):
    """Chat presentation for chat-completion models: a list of messages, each a dictionary
    with "role" and "content"; the system prompt, when set, comes first."""

    def format(self, prompt: str) -> list[dict[str, str]]:
        if not isinstance(prompt, str):
            raise TypeError(f"prompt must be a str, got {type(prompt).__name__}")
        messages = []
        if self.system_prompt:
            messages.append({"role": "system", "content": self.system_prompt})
        messages.append({"role": "user", "content": prompt})
        return messages


def prompt_text(prompt) -> str:
    """A prompt as one text: a text as it is, chat messages as their contents, one per line."""
    if isinstance(prompt, str):
        return prompt
    if isinstance(prompt, list) and all(isinstance(m, dict) and "content" in m for m in prompt):
        return "\n".join(str(m["content"]) for m in prompt)
    raise TypeError(f"a prompt is a text or a list of chat messages, got {type(prompt).__name__}")

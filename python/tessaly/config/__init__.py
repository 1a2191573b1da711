"""Configuration classes of the SDK."""

from tessaly.config.gen_ai_configuration import AgenticAIConfiguration, GenAIConfiguration

__all__ = ["AgenticAIConfiguration", "GenAIConfiguration"]

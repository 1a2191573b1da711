"""Enumerations shared by the SDK."""

from enum import StrEnum


class EvaluationProvider(StrEnum):
    """Who computed a metric; written as a result's ``provider``."""

    DETECTORS = "detectors"  # the remote detection service
    TABULO = "tabulo"  # the judge libraries (tabulo, verdra)
    LOCAL = "local"  # computed in process by the SDK itself


class ModelProviderType(StrEnum):
    """Kind of service that hosts a foundation model."""

    NIMBAL = "nimbal"
    OPENAI = "openai"
    AZURE_OPENAI = "azure_openai"
    VERTEX_AI = "vertex_ai"
    GOOGLE_AI_STUDIO = "google_ai_studio"
    AWS_BEDROCK = "aws_bedrock"
    CUSTOM = "custom"
    PORTKEY = "portkey"
    CORVO_AI_GATEWAY = "corvo_ai_gateway"


class Region(StrEnum):
    """Deployment regions of the hosted services."""

    US_SOUTH = "us-south"
    AU_SYD = "au-syd"
    CA_TOR = "ca-tor"
    EU_DE = "eu-de"
    JP_TOK = "jp-tok"
    EU_GB = "eu-gb"
    AP_SOUTH = "ap-south-1"
    US_GOV_EAST1 = "us-gov-east1"


class StonewatchRisks(StrEnum):
    """Risks served by the single "stonewatch" safety detector."""

    HARM = "harm"
    SOCIAL_BIAS = "social_bias"
    JAILBREAK = "jailbreak"
    VIOLENCE = "violence"
    PROFANITY = "profanity"
    UNETHICAL_BEHAVIOR = "unethical_behavior"

    @classmethod
    def values(cls) -> list[str]:
        return [member.value for member in cls]


class MetricGroup(StrEnum):
    """A named set of metrics that can be requested together."""

    ANSWER_QUALITY = "answer_quality"
    RETRIEVAL_QUALITY = "retrieval_quality"

    def get_metrics(self) -> list:
        """New instances of the metrics that make up this group."""
        # Imported here: the metric classes themselves refer to this enum.
        from tessaly.metrics import metrics_of_group

        return metrics_of_group(self)

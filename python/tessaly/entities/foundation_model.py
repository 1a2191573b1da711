"""Foundation models that can judge records or be evaluated for risks.

Every model class derives directly from ``FoundationModel``, so type tests tell
them apart whatever their order.
"""

from collections.abc import Callable
from typing import Any

from pydantic import BaseModel, ConfigDict, Field, PrivateAttr

from tessaly.entities import credentials as creds
from tessaly.entities.enums import ModelProviderType


class ModelProvider(BaseModel):
    """The service hosting a model, and the credentials to reach it."""

    model_config = ConfigDict(arbitrary_types_allowed=True)

    type: ModelProviderType
    credentials: Any = None


def _provider(kind: ModelProviderType, credentials_class: type[BaseModel] | None):
    def make():
        return ModelProvider(
            type=kind, credentials=credentials_class() if credentials_class else None
        )

    return Field(default_factory=make)


class FoundationModel(BaseModel):
    model_config = ConfigDict(protected_namespaces=(), arbitrary_types_allowed=True)

    model_id: str | None = None
    model_name: str | None = None
    parameters: dict[str, Any] | None = None
    provider: ModelProvider


class NimbalFoundationModel(FoundationModel):
    """A model served by the hosting service, within a project or a space."""

    project_id: str | None = None
    space_id: str | None = None
    provider: ModelProvider = _provider(ModelProviderType.NIMBAL, creds.NimbalCredentials)


class OpenAIFoundationModel(FoundationModel):
    provider: ModelProvider = _provider(ModelProviderType.OPENAI, creds.OpenAICredentials)


class AzureOpenAIFoundationModel(FoundationModel):
    provider: ModelProvider = _provider(
        ModelProviderType.AZURE_OPENAI, creds.AzureOpenAICredentials
    )


class VertexAIFoundationModel(FoundationModel):
    provider: ModelProvider = _provider(ModelProviderType.VERTEX_AI, creds.VertexAICredentials)


class GoogleAIStudioFoundationModel(FoundationModel):
    provider: ModelProvider = _provider(
        ModelProviderType.GOOGLE_AI_STUDIO, creds.GoogleAIStudioCredentials
    )


class AWSBedrockFoundationModel(FoundationModel):
    provider: ModelProvider = _provider(ModelProviderType.AWS_BEDROCK, creds.AWSBedrockCredentials)


class PortKeyGateway(FoundationModel):
    provider: ModelProvider = _provider(ModelProviderType.PORTKEY, creds.PortKeyCredentials)


class CorvoAIGateway(FoundationModel):
    provider: ModelProvider = _provider(
        ModelProviderType.CORVO_AI_GATEWAY, creds.CorvoAIGatewayCredentials
    )


class CustomFoundationModel(FoundationModel):
    """A model reached through the caller's own scoring function.

    ``scoring_fn`` receives the prompts to answer and returns the answers.
    """

    context: Any = None
    num_parallel_requests: int = Field(default=20, gt=0)
    provider: ModelProvider = _provider(ModelProviderType.CUSTOM, None)
    _scoring_fn: Callable = PrivateAttr()

    def __init__(self, scoring_fn: Callable, **data: Any):
        if not callable(scoring_fn):
            raise TypeError(
                f"scoring_fn must be callable, got {type(scoring_fn).__name__}"
            )
        super().__init__(**data)
        self._scoring_fn = scoring_fn

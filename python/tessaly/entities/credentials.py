"""Credentials of the governance service and of the services that host models."""

from urllib.parse import urlsplit

from pydantic import BaseModel, ConfigDict, Field, field_validator


def check_url(url: str | None) -> str | None:
    """Accept None or an absolute http(s) URL."""
    if url is None:
        return None
    parts = urlsplit(url)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        raise ValueError(f"expected an absolute http(s) URL, got {url!r}")
    return url


class Credentials(BaseModel):
    """Credentials of the governance service.

    ``version`` is set for an installed (on-premises) deployment and left empty
    in the cloud; ``disable_ssl`` turns TLS certificate checks off.
    """

    url: str
    api_key: str | None = None
    username: str | None = None
    password: str | None = None
    version: str | None = None
    instance_id: str | None = None
    disable_ssl: bool = False

    @field_validator("url")
    @classmethod
    def _valid_url(cls, url):
        return check_url(url)


class NimbalCredentials(BaseModel):
    """Credentials of the model-hosting service.

    An object with every field empty is false, so code that falls back to the
    governance service's credentials when a model brings none of its own also
    does so for a model built with the default, empty credentials.
    """

    url: str | None = None
    api_key: str | None = None
    version: str | None = None
    username: str | None = None
    password: str | None = None
    instance_id: str | None = None

    @field_validator("url")
    @classmethod
    def _valid_url(cls, url):
        return check_url(url)

    def __bool__(self) -> bool:
        return any(getattr(self, name) for name in type(self).model_fields)


class OpenAICredentials(BaseModel):
    api_key: str | None = None
    url: str | None = None


class AzureOpenAICredentials(BaseModel):
    """Azure's client names two fields differently: dump with ``by_alias=True`` for it."""

    model_config = ConfigDict(populate_by_name=True)

    api_key: str | None = None
    url: str | None = Field(default=None, alias="api_base")
    api_version: str | None = Field(default=None, alias="azure_api_version")


class VertexAICredentials(BaseModel):
    credentials_path: str | None = None
    project_id: str | None = None
    location: str | None = None


class GoogleAIStudioCredentials(BaseModel):
    api_key: str | None = None


class AWSBedrockCredentials(BaseModel):
    aws_access_key_id: str | None = None
    aws_secret_access_key: str | None = None
    aws_session_token: str | None = None
    aws_region_name: str | None = None


class PortKeyCredentials(BaseModel):
    api_key: str | None = None
    url: str | None = None
    provider_api_key: str | None = None


class CorvoAIGatewayCredentials(BaseModel):
    api_key: str | None = None
    url: str | None = None

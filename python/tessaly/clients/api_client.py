"""The SDK's client: credentials of the governance service and its monitoring client."""

import os

from vexmon_sdk import APIClient as VexmonClient
from vexmon_sdk.authenticators import NoAuthAuthenticator, StaticTokenAuthenticator

from tessaly.entities.credentials import Credentials

# Used when the endpoint table is not available.
FALLBACK_SERVICE_URL = "https://api.tsy.us-south.example-cloud.com"
DEFAULT_SERVICE_INSTANCE_ID = "00000000-0000-0000-0000-000000000000"


def default_service_url() -> str:
    """Governance-service URL of the first region of the endpoint table."""
    try:
        from tessaly.utils.endpoint_table import LUMORA_REGION_URLS
    except ImportError:
        return FALLBACK_SERVICE_URL
    first = next(iter(LUMORA_REGION_URLS.values()), None)
    return first.tsy_url if first is not None else FALLBACK_SERVICE_URL


class APIClient:
    """Credentials of the governance service and a monitoring client built from them.

    With no arguments it addresses the default region's cloud service and has no
    API key. The monitoring client's service instance comes from
    ``service_instance_id``, else the TSY_SERVICE_INSTANCE_ID environment
    variable, else the default instance. Its authenticator sends the API key as
    the bearer token. Constructing a client reaches no network.
    """

    def __init__(
        self,
        credentials: Credentials | None = None,
        vexmon_client: VexmonClient | None = None,
        service_instance_id: str | None = None,
    ):
        if credentials is not None and not isinstance(credentials, Credentials):
            raise TypeError(f"credentials must be Credentials, got {type(credentials).__name__}")
        if vexmon_client is not None and not isinstance(vexmon_client, VexmonClient):
            raise TypeError(
                f"vexmon_client must be a vexmon_sdk APIClient, got {type(vexmon_client).__name__}"
            )
        if credentials is None:
            if vexmon_client is not None and vexmon_client.service_url:
                credentials = Credentials(
                    url=vexmon_client.service_url,
                    disable_ssl=vexmon_client.disable_ssl_verification,
                )
            else:
                credentials = Credentials(url=default_service_url())
        if vexmon_client is None:
            authenticator = (
                StaticTokenAuthenticator(credentials.api_key)
                if credentials.api_key
                else NoAuthAuthenticator()
            )
            vexmon_client = VexmonClient(
                service_url=credentials.url,
                authenticator=authenticator,
                service_instance_id=service_instance_id
                or os.environ.get("TSY_SERVICE_INSTANCE_ID")
                or DEFAULT_SERVICE_INSTANCE_ID,
                disable_ssl_verification=credentials.disable_ssl,
            )
        self.credentials = credentials
        self.vexmon_client = vexmon_client

"""The monitoring-service client object."""

from urllib.parse import urlsplit

from vexmon_sdk.authenticators import Authenticator, NoAuthAuthenticator


class APIClient:
    """Connection settings of the monitoring service.

    Constructing a client reaches no network.
    """

    def __init__(
        self,
        service_url: str | None = None,
        authenticator: Authenticator | None = None,
        service_instance_id: str | None = None,
        disable_ssl_verification: bool = False,
    ):
        if service_url is not None:
            if not isinstance(service_url, str):
                raise TypeError(f"service_url must be a str, got {type(service_url).__name__}")
            parts = urlsplit(service_url)
            if parts.scheme not in ("http", "https") or not parts.netloc:
                raise ValueError(f"service_url must be an absolute http(s) URL, got {service_url!r}")
        if service_instance_id is not None and not isinstance(service_instance_id, str):
            raise TypeError(
                f"service_instance_id must be a str, got {type(service_instance_id).__name__}"
            )
        self.service_url = service_url
        self.authenticator = authenticator if authenticator is not None else NoAuthAuthenticator()
        self.service_instance_id = service_instance_id
        self.disable_ssl_verification = bool(disable_ssl_verification)

    def __repr__(self) -> str:
        return (
            f"APIClient(service_url={self.service_url!r}, "
            f"service_instance_id={self.service_instance_id!r})"
        )

"""The hosting-service client object."""

from __future__ import annotations

from nimbalkit.credentials import Credentials


class APIClient:
    """Connection settings of the hosting service.

    Keeps its credentials and the default project or space; constructing a
    client reaches no network.
    """

    def __init__(
        self,
        credentials: Credentials,
        project_id: str | None = None,
        space_id: str | None = None,
    ):
        if not isinstance(credentials, Credentials):
            raise TypeError(
                f"credentials must be nimbalkit Credentials, got {type(credentials).__name__}"
            )
        if project_id is not None and space_id is not None:
            raise ValueError("give project_id or space_id, not both")
        self.credentials = credentials
        self.default_project_id = project_id
        self.default_space_id = space_id

    @property
    def service_url(self) -> str | None:
        return self.credentials.url

    @property
    def is_on_prem(self) -> bool:
        return self.credentials.is_on_prem

    def __repr__(self) -> str:
        return f"APIClient(credentials={self.credentials!r})"

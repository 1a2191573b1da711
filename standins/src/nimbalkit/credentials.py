"""Credentials of the model-hosting service."""

from __future__ import annotations

# instance_id of an installed (on-premises) deployment of the hosting service.
ON_PREM_INSTANCE_ID = "cairnhost"


class Credentials:
    """Where the hosting service is and how to sign in to it.

    In the cloud an ``api_key`` (or a ready ``token``) is enough; an installed
    deployment sets ``instance_id`` to "cairnhost" and usually a ``version``,
    and signs in with ``username`` plus ``api_key`` or ``password``.  Every
    field may be left empty; the client checks nothing until it is used.
    """

    def __init__(
        self,
        url: str | None = None,
        api_key: str | None = None,
        username: str | None = None,
        password: str | None = None,
        instance_id: str | None = None,
        version: str | None = None,
        token: str | None = None,
        verify: bool | str | None = None,
    ):
        for name, value in (
            ("url", url),
            ("api_key", api_key),
            ("username", username),
            ("password", password),
            ("instance_id", instance_id),
            ("version", version),
            ("token", token),
        ):
            if value is not None and not isinstance(value, str):
                raise TypeError(f"{name} must be a str or None, got {type(value).__name__}")
        if verify is not None and not isinstance(verify, (bool, str)):
            raise TypeError(
                f"verify must be a bool, a CA bundle path or None, got {type(verify).__name__}"
            )
        self.url = url
        self.api_key = api_key
        self.username = username
        self.password = password
        self.instance_id = instance_id
        self.version = version
        self.token = token
        self.verify = verify

    @property
    def is_on_prem(self) -> bool:
        return self.instance_id == ON_PREM_INSTANCE_ID or bool(self.version)

    def to_dict(self) -> dict:
        """The fields that are set, as a mapping."""
        return {name: value for name, value in vars(self).items() if value is not None}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Credentials):
            return NotImplemented
        return vars(self) == vars(other)

    __hash__ = None  # mutable

    def __repr__(self) -> str:
        shown = {
            name: ("***" if name in ("api_key", "password", "token") else value)
            for name, value in self.to_dict().items()
        }
        inner = ", ".join(f"{name}={value!r}" for name, value in shown.items())
        return f"Credentials({inner})"

"""Authenticators of cloud-service requests."""


class Authenticator:
    def authenticate(self, request: dict) -> None:
        raise NotImplementedError

    def validate(self) -> None:
        pass


class BearerTokenAuthenticator(Authenticator):
    """Sends a bearer token the caller obtained and refreshes itself."""

    def __init__(self, bearer_token: str):
        self.bearer_token = bearer_token
        self.validate()

    def validate(self) -> None:
        if not isinstance(self.bearer_token, str) or not self.bearer_token.strip():
            raise ValueError("The bearer token must be a non-empty str.")

    def set_bearer_token(self, bearer_token: str) -> None:
        self.bearer_token = bearer_token
        self.validate()

    def authenticate(self, request: dict) -> None:
        request.setdefault("headers", {})["Authorization"] = f"Bearer {self.bearer_token}"

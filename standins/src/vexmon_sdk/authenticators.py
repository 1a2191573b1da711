"""Authenticators that issue the bearer tokens of monitoring-service requests."""


class TokenManager:
    """Holds a bearer token and hands it out."""

    def __init__(self, token: str):
        self._token = _checked_token(token)

    def get_token(self) -> str:
        return self._token

    def set_token(self, token: str) -> None:
        self._token = _checked_token(token)


def _checked_token(token: object) -> str:
    if not isinstance(token, str):
        raise TypeError(f"token must be a str, got {type(token).__name__}")
    if not token.strip():
        raise ValueError("token must not be empty")
    return token


class Authenticator:
    """Base of the authenticators: adds the Authorization header to a request."""

    token_manager: TokenManager

    def authenticate(self, request: dict) -> None:
        headers = request.setdefault("headers", {})
        headers["Authorization"] = f"Bearer {self.token_manager.get_token()}"


class StaticTokenAuthenticator(Authenticator):
    """Sends a token obtained elsewhere (e.g. an API key already exchanged for a token)."""

    def __init__(self, token: str):
        self.token_manager = TokenManager(token)


class _NoTokenManager:
    def get_token(self) -> str:
        raise ValueError("The monitoring client was given no credentials, so it has no bearer token.")


class NoAuthAuthenticator(Authenticator):
    """For clients that have no credentials: asking for a token raises ValueError."""

    def __init__(self):
        self.token_manager = _NoTokenManager()

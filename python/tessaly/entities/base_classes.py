"""Base entity classes."""

from pydantic import BaseModel


class Error(BaseModel):
    """An error attached to a result, e.g. a failed request for one record."""

    code: str
    message_en: str

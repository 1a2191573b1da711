from pydantic import BaseModel as BaseModel

from tessaly.entities.enums import Region as Region

class LumoraUrls(BaseModel):
    iam_url: str
    tsy_url: str
    rivet_url: str
    kelm_url: str
    region: str

LUMORA_REGION_URLS: dict[str, LumoraUrls]
VEXMON_ENDPOINT_TABLE: dict[str, LumoraUrls]

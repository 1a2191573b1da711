"""Configuration of a foundation-model risk evaluation."""

from pydantic import BaseModel, ConfigDict, Field

from tessaly.entities.credentials import Credentials
from tessaly.entities.foundation_model import FoundationModel


class LumoraGCConfiguration(BaseModel):
    """The governance console that receives the risk evaluation of a model."""

    model_config = ConfigDict(protected_namespaces=())

    credentials: Credentials
    model_id: str


class ModelRiskConfiguration(BaseModel):
    model_config = ConfigDict(protected_namespaces=(), arbitrary_types_allowed=True)

    model_details: FoundationModel
    risk_dimensions: list[str] | None = None  # None: every risk the plug-in knows
    max_sample_size: int | None = Field(default=None, gt=0)
    pdf_report_output_path: str | None = None
    thresholds: list[float] | None = None  # score bands of the report
    lumora_gc_configuration: LumoraGCConfiguration | None = None

import inspect as inspect
from typing import Any, Callable
from urllib.parse import urlsplit as urlsplit

from nimbalkit.client import APIClient as LumoraAIAPIClient
from nimbalkit.credentials import Credentials as LumoraAICredentials
from nimbalkit.foundation_models_manager import FoundationModelsManager as FoundationModelsManager
from quorra_metrics_plugin.mra.evaluate_fm_risk import EvaluateFMRisk as EvaluateFMRisk

from tessaly.clients.api_client import APIClient as APIClient
from tessaly.clients.meter_client import MeterClient as MeterClient
from tessaly.config.model_risk_configuration import ModelRiskConfiguration as ModelRiskConfiguration
from tessaly.entities.credentials import NimbalCredentials as NimbalCredentials
from tessaly.entities.foundation_model import CustomFoundationModel as CustomFoundationModel
from tessaly.entities.foundation_model import NimbalFoundationModel as NimbalFoundationModel
from tessaly.entities.model_risk_result import Benchmark as Benchmark
from tessaly.entities.model_risk_result import ModelRiskResult as ModelRiskResult
from tessaly.entities.model_risk_result import Risk as Risk
from tessaly.entities.model_risk_result import RiskMetric as RiskMetric
from tessaly.utils.endpoint_table import VEXMON_ENDPOINT_TABLE as VEXMON_ENDPOINT_TABLE

def _evaluate_model_risk(configuration: ModelRiskConfiguration, api_client: APIClient | None = None) -> ModelRiskResult: ...
def build_system_credentials(
    configuration: ModelRiskConfiguration, credentials: Any
) -> tuple[dict[str, Any], Callable[..., Any] | None]: ...
def get_ozri_credentials(tessaly_credentials: Any) -> LumoraAIAPIClient: ...
def check_if_model_id_is_valid(model_id: str, nimbal_client: LumoraAIAPIClient) -> None: ...

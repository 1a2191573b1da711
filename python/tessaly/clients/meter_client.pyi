import os as os
from datetime import datetime as datetime
from logging import Logger

import requests as requests
from cirrus_sdk_core.authenticators import BearerTokenAuthenticator as BearerTokenAuthenticator
from vexmon_sdk import APIClient as VexmonClient

from tessaly.utils.gov_sdk_logger import GovSDKLogger as GovSDKLogger
from tessaly.utils.python_utils import get_authenticator_token as get_authenticator_token

logger: Logger

class MeterClient:
    vexmon_client: VexmonClient
    def __init__(self, vexmon_client: VexmonClient) -> None: ...
    def update_evaluations(self) -> None: ...

"""Thresholds that a metric value is compared with."""

from typing import Literal

from pydantic import BaseModel


class MetricThreshold(BaseModel):
    """A bound on a metric value: values below a lower limit or above an upper limit fail."""

    type: Literal["lower_limit", "upper_limit"] = "lower_limit"
    value: float

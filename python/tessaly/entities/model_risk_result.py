"""Result of a foundation-model risk evaluation: risks, their benchmarks and metrics."""

from pydantic import BaseModel


class RiskMetric(BaseModel):
    name: str
    value: float | None = None


class Benchmark(BaseModel):
    name: str
    metrics: list[RiskMetric] = []


class Risk(BaseModel):
    name: str
    benchmarks: list[Benchmark] = []


class ModelRiskResult(BaseModel):
    risks: list[Risk] = []
    output_file_path: str | None = None  # the PDF report, when one was written

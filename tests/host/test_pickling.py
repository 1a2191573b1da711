"""Native functions and the modules' classes where a host process ships them elsewhere:
pickled and copied by reference like the interpreter's functions, and run in a child
process of a spawn-based pool."""

from __future__ import annotations

import concurrent.futures
import copy
import importlib
import multiprocessing
import pickle

import pytest
from host_kit import configuration, qa_table
from native_modules import NATIVE_MODULES

from tessaly.metrics import HAPMetric, KeywordDetectionMetric, PIIMetric

MODULES = NATIVE_MODULES


def is_native(value) -> bool:
    return type(value).__name__ == "native_function"


def native_callables():
    """Every native function of the modules, and every native method of their classes,
    as found by name: (path, object)."""
    found = []
    for name in MODULES:
        module = importlib.import_module(name)
        for attr, value in vars(module).items():
            if is_native(value):
                found.append((f"{name}.{attr}", value))
            elif isinstance(value, type) and value.__module__ == name:
                for member in vars(value):
                    method = getattr(value, member)
                    if is_native(method):
                        found.append((f"{name}.{attr}.{member}", method))
    return found


CALLABLES = native_callables()


def test_every_module_has_its_entries_among_them():
    paths = {path for path, _ in CALLABLES}
    for expected in [
        "tessaly.evaluators.impl.metrics_runner._evaluate_metrics",
        "tessaly.evaluators.impl.metrics_runner._evaluate_metrics_async",
        "tessaly.evaluators.impl.risk_runner._evaluate_model_risk",
        "tessaly.clients.meter_client.MeterClient.update_evaluations",
        "tessaly.providers.screening_provider.ScreeningProvider._ScreeningProvider__get_headers",
        "tessaly.providers.tabulo_provider.TabuloProvider.evaluate_async",
        "tessaly.providers.verdra_provider.VerdraProvider.__init__",
    ]:
        assert expected in paths


@pytest.mark.parametrize("path, function", CALLABLES, ids=[p for p, _ in CALLABLES])
def test_native_functions_pickle_and_copy_by_reference(path, function):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(function, protocol=protocol)
        assert pickle.loads(data) is function
        assert len(data) < 200  # a module and a name, nothing of the function itself
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function


def test_the_cached_engine_factory_pickles_as_its_wrapper():
    from tessaly.providers.tabulo_provider import TabuloProvider

    factory = TabuloProvider._create_inference_engine_impl
    assert pickle.loads(pickle.dumps(factory)) is factory


def state(obj) -> dict:
    """What an instance holds, comparable across a round trip: values that compare by value
    as themselves, others by their type and state."""
    result = {}
    for key, value in vars(obj).items():
        if type(value).__eq__ is object.__eq__ and hasattr(value, "__dict__"):
            result[key] = (type(value), state(value))
        else:
            result[key] = value
    return result


def providers(client):
    from tessaly.clients.meter_client import MeterClient
    from tessaly.providers.screening_provider import ScreeningProvider
    from tessaly.providers.tabulo_provider import TabuloProvider
    from tessaly.providers.verdra_provider import VerdraProvider

    return [
        ScreeningProvider(configuration(), "hap", "HAP", None, api_client=client),
        TabuloProvider(configuration=configuration(), metric_name="faithfulness", metric_display_name="F",
                       metric_method="token_recall", metric_prefix="metrics.rag.external_rag"),
        VerdraProvider("politeness", "Politeness", "numeric", None, []),
        MeterClient(vexmon_client=client.vexmon_client),
    ]


@pytest.mark.parametrize("index", range(4), ids=["screening", "tabulo", "verdra", "meter"])
def test_instances_and_their_bound_methods_round_trip(client, index):
    instance = providers(client)[index]
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(instance, protocol=protocol))
        assert type(again) is type(instance)
        assert state(again) == state(instance)
    name = "update_evaluations" if index == 3 else "evaluate"
    method = pickle.loads(pickle.dumps(getattr(instance, name)))
    assert method.__func__ is vars(type(instance))[name]
    assert state(method.__self__) == state(instance)


def summary(result):
    return [(r.name, r.method, r.mean, r.min, r.max, r.total_records,
             [(x.record_id, x.value) for x in r.record_level_metrics]) for r in result.metrics_result]


def test_a_spawned_process_runs_the_evaluation_and_a_provider(client):
    from tessaly.evaluators.impl.metrics_runner import _evaluate_metrics
    from tessaly.providers.screening_provider import ScreeningProvider

    metrics = [HAPMetric(), PIIMetric(), KeywordDetectionMetric(keywords=["idiot"])]
    here = _evaluate_metrics(configuration(), qa_table(), metrics, client)
    provider = ScreeningProvider(configuration(), "hap", "HAP", None, api_client=client)
    here_provider = provider.evaluate(qa_table())
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
        there = pool.submit(_evaluate_metrics, configuration(), qa_table(), metrics, client).result(120)
        there_provider = pool.submit(provider.evaluate, qa_table()).result(120)
    assert summary(there) == summary(here)
    assert (there_provider.mean, there_provider.total_records) == (here_provider.mean, here_provider.total_records)
    assert [r.value for r in there_provider.record_level_metrics] == [
        r.value for r in here_provider.record_level_metrics]

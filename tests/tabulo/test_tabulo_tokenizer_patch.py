"""tabulo_provider.patch_bertscore_overflow, against small stand-in bert_score modules
that each test puts into sys.modules (the real package is never needed)."""

from __future__ import annotations

import inspect
import sys
import types

import pytest
from tabulo_kit import provider, rag_table

pytestmark = pytest.mark.usefixtures("fresh_state")


class Tokenizer:
    def __init__(self, length=None):
        if length is not None:
            self.model_max_length = length


class Loader:
    """bert_score.utils.get_tokenizer: records its calls, returns the tokenizer it is given."""

    def __init__(self, tokenizer=None, error=None):
        self.tokenizer, self.error = tokenizer, error
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error:
            raise self.error
        return self.tokenizer


@pytest.fixture
def bert_score(monkeypatch):
    """Installs stand-in bert_score, bert_score.utils and bert_score.scorer modules."""

    def install(loader=None, scorer_has_loader=True, utils_has_loader=True):
        package = types.ModuleType("bert_score")
        utils = types.ModuleType("bert_score.utils")
        scorer = types.ModuleType("bert_score.scorer")
        loader = loader or Loader(Tokenizer(10**30))
        if utils_has_loader:
            utils.get_tokenizer = loader
        if scorer_has_loader:
            scorer.get_tokenizer = loader
        package.utils, package.scorer = utils, scorer
        for name, module in (("bert_score", package), ("bert_score.utils", utils), ("bert_score.scorer", scorer)):
            monkeypatch.setitem(sys.modules, name, module)
        return utils, scorer, loader

    return install


def test_patch_replaces_both_loaders_once(tp, bert_score):
    utils, scorer, original = bert_score()
    assert tp.patch_bertscore_overflow() is None
    patched = utils.get_tokenizer
    assert patched is not original and scorer.get_tokenizer is patched
    assert utils._is_patched_for_overflow is True
    assert patched.__name__ == "patched_get_tokenizer"
    assert patched.__qualname__ == "patch_bertscore_overflow.<locals>.patched_get_tokenizer"
    assert str(inspect.signature(patched)) == "(model_type, use_fast=False)"
    tp.patch_bertscore_overflow()
    assert utils.get_tokenizer is patched and scorer.get_tokenizer is patched


@pytest.mark.parametrize(
    "length, expected",
    [(100000, 100000), (100001, 512), (10**30, 512), (int(1e30), 512), (512, 512), (0, 0), (1e6, 512)],
)
def test_absurd_lengths_become_512(tp, bert_score, length, expected):
    tokenizer = Tokenizer(length)
    utils, _, _ = bert_score(Loader(tokenizer))
    tp.patch_bertscore_overflow()
    assert utils.get_tokenizer("roberta-large") is tokenizer
    assert tokenizer.model_max_length == expected


def test_tokenizer_without_a_length_is_returned_untouched(tp, bert_score):
    tokenizer = Tokenizer()
    utils, _, _ = bert_score(Loader(tokenizer))
    tp.patch_bertscore_overflow()
    assert utils.get_tokenizer("m") is tokenizer
    assert vars(tokenizer) == {}


@pytest.mark.parametrize(
    "call, passed",
    [
        (lambda f: f("m"), ("m", False)),
        (lambda f: f("m", True), ("m", True)),
        (lambda f: f(model_type="m", use_fast=True), ("m", True)),
    ],
)
def test_original_loader_gets_positional_arguments(tp, bert_score, call, passed):
    utils, _, original = bert_score(Loader(Tokenizer(1)))
    tp.patch_bertscore_overflow()
    call(utils.get_tokenizer)
    assert original.calls == [(passed, {})]


def test_loader_errors_pass_through(tp, bert_score):
    error = OSError("model files missing")
    utils, _, _ = bert_score(Loader(error=error))
    tp.patch_bertscore_overflow()
    with pytest.raises(OSError) as caught:
        utils.get_tokenizer("m")
    assert caught.value is error


def test_scorer_without_its_own_loader(tp, bert_score):
    utils, scorer, original = bert_score(scorer_has_loader=False)
    tp.patch_bertscore_overflow()
    assert utils.get_tokenizer is not original
    assert not hasattr(scorer, "get_tokenizer")


@pytest.mark.parametrize("marker", [True, False, None])
def test_marker_of_any_value_means_patched(tp, bert_score, marker):
    utils, scorer, original = bert_score()
    utils._is_patched_for_overflow = marker
    tp.patch_bertscore_overflow()
    assert utils.get_tokenizer is original and scorer.get_tokenizer is original
    assert utils._is_patched_for_overflow is marker


@pytest.mark.parametrize("missing", ["bert_score", "bert_score.scorer", "bert_score.utils"])
def test_missing_package_is_silent(tp, bert_score, monkeypatch, missing):
    utils, _, original = bert_score()
    monkeypatch.setitem(sys.modules, missing, None)  # import fails with ImportError
    assert tp.patch_bertscore_overflow() is None
    assert utils.get_tokenizer is original
    assert not hasattr(utils, "_is_patched_for_overflow")
    assert provider(tp).evaluate(rag_table()).total_records == 2


def test_other_failures_propagate_and_are_wrapped_by_evaluate(tp, bert_score):
    bert_score(utils_has_loader=False)
    with pytest.raises(AttributeError):
        tp.patch_bertscore_overflow()
    with pytest.raises(Exception) as caught:
        provider(tp).evaluate(rag_table())
    assert str(caught.value).startswith(
        "Error while computing metrics: faithfulness with the method token_recall using tabulo library. Reason: ")
    assert type(caught.value.__context__) is AttributeError


def test_evaluate_installs_the_patch(tp, bert_score):
    utils, scorer, original = bert_score()
    provider(tp).evaluate(rag_table())
    assert utils.get_tokenizer is not original and utils._is_patched_for_overflow is True

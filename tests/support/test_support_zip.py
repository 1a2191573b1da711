"""zip() of the support layer, against the interpreter's own: the loop
``for x, y in zip(xs, ys)`` with what each step may do to the lists it reads."""

from __future__ import annotations

import pytest


def twin(xs, ys, each=None):
    pairs = []
    for x, y in zip(xs, ys):
        if each is not None:
            each(x, y)
        pairs.append((x, y))
    return pairs


class OwnOrder(list):
    """A list that iterates in its own order: only an exact list may be read by position."""

    def __iter__(self):
        return iter(list(reversed(self)))


@pytest.mark.parametrize(
    "xs, ys",
    [
        ([], []),
        ([1, 2, 3], ["a", "b", "c"]),
        ([1, 2, 3], ["a"]),
        ([1], ["a", "b", "c"]),
        ([1, 2], (10, 20, 30)),
        ((1, 2, 3), [10, 20]),
        ("xyz", [0, 1, 2, 3]),
        (OwnOrder([1, 2, 3]), [0, 1, 2]),
        ([0, 1, 2], OwnOrder([1, 2, 3])),
        (range(4), {"k": 1, "l": 2}),
    ],
    ids=["empty", "equal", "second-shorter", "first-shorter", "list-tuple", "tuple-list", "text-list",
         "subclass-first", "subclass-second", "range-dict"],
)
def test_pairs_as_the_interpreter_makes_them(st, xs, ys):
    assert st.zipped(xs, ys) == twin(xs, ys)


def test_the_same_list_twice(st):
    xs = [1, 2, 3]
    assert st.zipped(xs, xs) == twin(xs, xs) == [(1, 1), (2, 2), (3, 3)]


def generator(values, log):
    for v in values:
        log.append(v)
        yield v


@pytest.mark.parametrize("shorter_first", [True, False])
def test_an_iterator_is_asked_exactly_as_often(st, shorter_first):
    # zip asks its iterables in order and stops at the first that ends: an iterator after a
    # list that ends is not asked for one more, one before it is.
    results = []
    for zipper in (st.zipped, twin):
        log = []
        gen = generator([10, 11, 12, 13], log)
        pairs = zipper([1, 2], gen) if shorter_first else zipper(gen, [1, 2])
        results.append((pairs, log, list(gen)))
    assert results[0] == results[1]


def grow(xs, limit):
    def each(x, y):
        if len(xs) < limit:
            xs.append(x * 10)
    return each


@pytest.mark.parametrize(
    "make_each",
    [
        pytest.param(lambda xs, ys: grow(xs, 6), id="first-grows"),
        pytest.param(lambda xs, ys: grow(ys, 7), id="second-grows"),
        pytest.param(lambda xs, ys: (lambda x, y: xs.pop(0) if xs else None), id="first-shrinks"),
        pytest.param(lambda xs, ys: (lambda x, y: ys.clear() if x == 2 else None), id="second-cleared"),
        pytest.param(lambda xs, ys: (lambda x, y: xs.insert(0, -1)), id="first-shifts"),
        pytest.param(lambda xs, ys: (lambda x, y: ys.__setitem__(slice(None), [x] * 2)), id="second-replaced"),
    ],
)
def test_lists_changed_by_the_loop_are_read_as_their_iterators_read_them(st, make_each):
    results = []
    for zipper in (st.zipped, twin):
        xs, ys = [1, 2, 3, 4], [5, 6, 7, 8, 9]
        results.append((zipper(xs, ys, make_each(xs, ys)), xs, ys))
    assert results[0] == results[1]


def test_an_item_dropped_by_its_list_stays_alive_for_the_step(st):
    class Token:
        pass

    xs, ys = [Token(), Token()], [Token(), Token()]
    seen = []

    def each(x, y):
        del xs[:], ys[:]  # the lists let go of the items the step holds
        seen.append((type(x), type(y)))

    pairs = st.zipped(xs, ys, each)
    assert seen == [(Token, Token)] and len(pairs) == 1 and all(isinstance(t, Token) for t in pairs[0])


def test_an_error_of_an_iterator_comes_out_of_the_loop(st):
    def failing():
        yield 1
        raise LookupError("no more")

    with pytest.raises(LookupError, match="no more"):
        st.zipped([1, 2, 3], failing())
    with pytest.raises(TypeError):
        st.zipped([1, 2], 5)

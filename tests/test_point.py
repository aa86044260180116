import pytest

from quorl import point


@pytest.mark.parametrize(
    "coords, expected",
    [
        ([], []),
        ((1, 2.5), [1.0, 2.5]),
        ([-0.0, 1e308, 5e-324], [-0.0, 1e308, 5e-324]),
        (range(3), [0.0, 1.0, 2.0]),
    ],
)
def test_coordinates_round_trip(coords, expected):
    got = point(coords).coord()
    assert got == expected
    assert all(type(x) is float for x in got)
    assert [str(x) for x in got] == [str(x) for x in expected]  # keeps the sign of zero


@pytest.mark.parametrize(
    "arg", ["12", b"12", 2.5, 3, None, [1.0, "2"], [None], [1.0, [2.0]], [10**400]]
)
def test_constructor_refuses_non_float_sequences(arg):
    with pytest.raises(TypeError):
        point(arg)


@pytest.mark.parametrize("args, kwargs", [((), {}), (([1.0], [2.0]), {}), ((), {"arg0": [1.0]})])
def test_constructor_refuses_wrong_arguments(args, kwargs):
    with pytest.raises(TypeError):
        point(*args, **kwargs)


def test_point_is_independent_of_the_lists_around_it():
    source = [1.0, 2.0]
    p = point(source)
    source[0] = 9.0
    got = p.coord()
    got.append(3.0)
    got[1] = 7.0
    assert p.coord() == [1.0, 2.0]
    assert p.coord() is not p.coord()


def test_no_dynamic_attributes():
    p = point([1.0])
    with pytest.raises(AttributeError):
        p.label = "a"
    assert not hasattr(p, "__dict__")
    assert [a for a in dir(point) if not a.startswith("_")] == ["coord"]

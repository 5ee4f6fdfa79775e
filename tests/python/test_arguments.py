"""Argument extraction and array checks: every error message, exactly, for
each sort function, and the arrays each function accepts."""

import numpy as np
import pytest

import tarvo_fastsort_numa as tfs
from conftest import (NOT_CONTIGUOUS, NOT_CONVERTIBLE, PANIC_NOT_WRITEABLE,
                      total_order_sorted, assert_same_bits)

WRONG_DTYPE = {
    "i64": [np.uint64, np.int32, np.float64],
    "u64": [np.int64, np.uint32, np.float64],
    "i32": [np.int64, np.uint32, np.float32, np.int16],
    "u32": [np.uint64, np.int32, np.float32, np.uint16],
    "f64": [np.float32, np.int64, np.uint64, np.longdouble],
    "f32": [np.float64, np.int32, np.uint32, np.float16],
}
# NumPy's other names for the same width and kind.
EQUIVALENT_DTYPE = {
    "i64": [np.longlong, np.int_, np.intp],
    "u64": [np.ulonglong, np.uint, np.uintp],
    "i32": [np.intc],
    "u32": [np.uintc],
    "f64": [np.double],
    "f32": [np.single],
}


def sample(etype, n=10):
    rng = np.random.default_rng(n)
    return rng.integers(-50, 50, n).astype(etype.dtype)


def expect_untouched(array, before):
    assert_same_bits(array, before)


class TestArgumentErrors:
    def test_too_many_positional(self, etype):
        a = sample(etype)
        before = a.copy()
        for count in (2, 3, 5):
            with pytest.raises(TypeError) as info:
                etype.sort(*([a] * count))
            assert str(info.value) == (
                f"{etype.name}() takes 1 positional arguments but {count} were given")
        with pytest.raises(TypeError) as info:
            etype.sort(a, a, arr=a)
        assert str(info.value) == f"{etype.name}() takes 1 positional arguments but 2 were given"
        expect_untouched(a, before)

    def test_unexpected_keyword(self, etype):
        a = sample(etype)
        before = a.copy()
        for call in (lambda: etype.sort(a, array=a), lambda: etype.sort(arr=a, x=1),
                     lambda: etype.sort(x=1, arr=a), lambda: etype.sort(**{"é": 1})):
            with pytest.raises(TypeError) as info:
                call()
            key = str(info.value).rsplit(" ", 1)[1]
            assert str(info.value) == f"{etype.name}() got an unexpected keyword argument {key}"
            assert key in ("'array'", "'x'", "'é'")
        expect_untouched(a, before)

    def test_multiple_values(self, etype):
        a = sample(etype)
        before = a.copy()
        with pytest.raises(TypeError) as info:
            etype.sort(a, arr=a)
        assert str(info.value) == f"{etype.name}() got multiple values for argument 'arr'"
        expect_untouched(a, before)

    def test_missing(self, etype):
        for call in (lambda: etype.sort(), lambda: etype.sort(**{})):
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"{etype.name}() missing 1 required positional argument: 'arr'"

    @pytest.mark.parametrize("value, type_name", [
        ([1, 2, 3], "list"), ((1, 2), "tuple"), (None, "NoneType"), (7, "int"),
        (memoryview(b"abcd"), "memoryview"), (b"abcd", "bytes")])
    def test_not_an_array(self, etype, value, type_name):
        with pytest.raises(TypeError) as info:
            etype.sort(value)
        assert str(info.value) == NOT_CONVERTIBLE.format(type_name)

    def test_qualname_of_a_nested_class(self, etype):
        class Outer:
            class Inner:
                pass

        with pytest.raises(TypeError) as info:
            etype.sort(Outer.Inner())
        assert str(info.value) == NOT_CONVERTIBLE.format(
            "TestArgumentErrors.test_qualname_of_a_nested_class.<locals>.Outer.Inner")

    def test_unreadable_type_name(self, etype):
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise RuntimeError("no name")
                return super().__getattribute__(name)

        class Nameless(metaclass=Meta):
            pass

        with pytest.raises(TypeError) as info:
            etype.sort(Nameless())
        assert str(info.value) == NOT_CONVERTIBLE.format("<failed to extract type name>")
        assert info.value.__context__ is None

    def test_wrong_dimensions(self, etype):
        for shape in [(2, 3), (), (1, 1), (0, 0), (2, 1, 1)]:
            a = np.ones(shape, dtype=etype.dtype)
            before = a.copy()
            with pytest.raises(TypeError) as info:
                etype.sort(a)
            assert str(info.value) == NOT_CONVERTIBLE.format("ndarray")
            assert np.array_equal(a, before)

    def test_wrong_dtype(self, etype):
        for dtype in WRONG_DTYPE[etype.suffix]:
            a = np.arange(10, 0, -1).astype(dtype)
            before = a.copy()
            with pytest.raises(TypeError) as info:
                etype.sort(a)
            assert str(info.value) == NOT_CONVERTIBLE.format("ndarray")
            assert np.array_equal(a, before)

    def test_non_native_byte_order(self, etype):
        a = np.arange(10, 0, -1).astype(etype.dtype.newbyteorder())
        before = a.copy()
        with pytest.raises(TypeError) as info:
            etype.sort(a)
        assert str(info.value) == NOT_CONVERTIBLE.format("ndarray")
        assert_same_bits(a, before)

    def test_type_check_before_numpy_subclass_name(self, etype):
        class MyArray(np.ndarray):
            pass

        a = np.zeros((2, 2), etype.dtype).view(MyArray)
        with pytest.raises(TypeError) as info:
            etype.sort(a)
        assert str(info.value) == NOT_CONVERTIBLE.format(
            "TestArgumentErrors.test_type_check_before_numpy_subclass_name.<locals>.MyArray")

    def test_masked_array(self, etype):
        class Flagged(np.ma.MaskedArray):
            pass

        for cls, name in [(np.ma.MaskedArray, "MaskedArray"),
                          (Flagged, "TestArgumentErrors.test_masked_array.<locals>.Flagged")]:
            m = np.ma.masked_array([30, 5, 10, 20], mask=[0, 1, 0, 0], dtype=etype.dtype).view(cls)
            data, mask = m.data.copy(), m.mask.copy()
            with pytest.raises(TypeError) as info:
                etype.sort(m)
            assert str(info.value) == NOT_CONVERTIBLE.format(name)
            assert_same_bits(m.data, data)
            assert np.array_equal(m.mask, mask)

    def test_not_writeable(self, etype):
        base = sample(etype, 20)
        for a in (base.copy(), base.copy()[::-1], base.copy()[::2], base.copy()[:1]):
            a.flags.writeable = False
            before = a.copy()
            with pytest.raises(tfs.PanicException) as info:
                etype.sort(a)
            assert info.value.args == (PANIC_NOT_WRITEABLE,)
            expect_untouched(a, before)

    def test_broadcast_is_not_writeable(self, etype):
        a = np.broadcast_to(np.array([3], etype.dtype), (5,))
        with pytest.raises(tfs.PanicException) as info:
            etype.sort(a)
        assert info.value.args == (PANIC_NOT_WRITEABLE,)

    def test_not_contiguous(self, etype):
        base = sample(etype, 20)
        item = etype.dtype.itemsize
        record = np.zeros(6, dtype=[("x", etype.dtype), ("pad", etype.dtype)])
        record["x"] = [5, 4, 3, 2, 1, 0]
        views = [
            base[::-1],
            base[::2],
            base[1::3],
            base[:2][::-1],
            record["x"],
            np.lib.stride_tricks.as_strided(base, shape=(3,), strides=(item + 1,)),
            np.lib.stride_tricks.as_strided(base, shape=(4,), strides=(0,)),
            np.zeros((4, 4), etype.dtype)[:, 0],
        ]
        for view in views:
            owner_before = (record.copy(), base.copy())
            with pytest.raises(ValueError) as info:
                etype.sort(view)
            assert str(info.value) == NOT_CONTIGUOUS
            assert record.tobytes() == owner_before[0].tobytes()
            expect_untouched(base, owner_before[1])
        # After every refusal the registry holds nothing for the memory.
        etype.sort(base)
        assert_same_bits(base, total_order_sorted(owner_before[1]))


class TestAcceptedArrays:
    def test_keyword_and_positional(self, etype):
        a = sample(etype, 50)
        b = a.copy()
        assert etype.sort(a) is None
        assert etype.sort(arr=b) is None
        assert_same_bits(a, b)
        assert_same_bits(a, total_order_sorted(b))

    def test_subclass_sorted_in_place(self, etype):
        class MyArray(np.ndarray):
            pass

        a = sample(etype, 40).view(MyArray)
        expected = total_order_sorted(np.asarray(a).copy())
        etype.sort(a)
        assert type(a) is MyArray
        assert_same_bits(np.asarray(a), expected)

    def test_equivalent_dtypes(self, etype):
        for dtype in EQUIVALENT_DTYPE[etype.suffix]:
            a = np.arange(30, 0, -1).astype(dtype)
            etype.sort(a)
            assert a.dtype == np.dtype(dtype)
            assert a.tolist() == list(range(1, 31))

    def test_small_and_odd_views(self, etype):
        base = np.array([9, 8, 7, 6], etype.dtype)
        etype.sort(base[::-1][:1])
        etype.sort(base[::2][:1])
        etype.sort(base[:0])
        etype.sort(base[::-1][:0])
        etype.sort(np.empty(0, etype.dtype))
        assert base.tolist() == [9, 8, 7, 6]
        etype.sort(base[1:3])
        assert base.tolist() == [9, 7, 8, 6]
        etype.sort(np.lib.stride_tricks.as_strided(base, shape=(1,), strides=(0,)))
        assert base.tolist() == [9, 7, 8, 6]

    def test_views_of_other_memory(self, etype):
        raw = bytearray(np.arange(16, 0, -1, dtype=etype.dtype).tobytes())
        view = np.frombuffer(raw, dtype=etype.dtype)
        etype.sort(view)
        assert np.frombuffer(raw, dtype=etype.dtype).tolist() == list(range(1, 17))

    def test_unaligned(self, etype):
        item = etype.dtype.itemsize
        for n in (2, 3, 17, 300, 5000):
            for offset in range(1, item):
                raw = np.full(n * item + 2 * item, 0xA5, np.uint8)
                values = (np.random.default_rng(n).integers(-1000, 1000, n)
                          .astype(etype.dtype))
                a = raw[offset:offset + n * item].view(etype.dtype)
                assert not a.flags.aligned
                a[:] = values
                etype.sort(a)
                assert_same_bits(a, total_order_sorted(values))
                assert (raw[:offset] == 0xA5).all() and (raw[offset + n * item:] == 0xA5).all()

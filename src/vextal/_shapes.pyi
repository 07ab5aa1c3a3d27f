"""Stub-only shapes shared by the math classes' stubs (no such module exists at runtime): the operations every
vector and quaternion class has, those of the vectors, of the quaternions and of the 4x4 matrices. `_S` is the
class itself, `_V` the 3-vector class that a quaternion rotates or a matrix transforms.

All arithmetic runs in double precision; the single-precision classes (names ending in f) round each stored
component to float. Operators go through the class's native table, so a Python subclass that overrides, for
example, `add` also shapes `+`."""

import sys
from typing import (
    Any, ClassVar, Generic, Iterator, List, Protocol, SupportsFloat, SupportsIndex, Tuple, TypeVar, Union, overload
)

from typing_extensions import Self

# A real number: float, int, and anything with __float__ or __index__ (NumPy's scalar types, Fraction).
Number = Union[float, int, SupportsFloat, SupportsIndex]
_S = TypeVar("_S")
_V = TypeVar("_V")

class ComponentSequence(Protocol):
    """One sequence of numbers given in place of the separate components: a list, a tuple, a range, a NumPy
    array, or another vector of the same length."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...

class Components(Generic[_S]):
    __array_ufunc__: ClassVar[None]
    """None: NumPy arrays and scalars leave their operators with this class to it (so that
    ``np.float64(2) * v`` is a vector) and refuse ufuncs on it; ``np.asarray(v)`` reads the components through
    the buffer protocol (float64, or float32 for the single-precision classes), sharing the vector's storage."""

    def magnitude_squared(self) -> float:
        """The sum of the squared components."""
    def magnitude(self) -> float:
        """The length (Euclidean norm); also ``abs(v)``."""
    def dot(self, other: _S, /) -> float:
        """The scalar product; TypeError unless `other` is of this class."""
    def add(self, other: _S, /) -> _S:
        """A new record: self + other, component by component."""
    def subtract(self, other: _S, /) -> _S:
        """A new record: self - other, component by component."""
    def normalize(self) -> _S:
        """A new record of unit length in the same direction; the zero record gives the zero record."""
    def __add__(self, other: _S, /) -> _S: ...
    def __radd__(self, other: _S, /) -> _S: ...
    def __sub__(self, other: _S, /) -> _S: ...
    def __rsub__(self, other: _S, /) -> _S: ...
    def __rmul__(self, other: Number, /) -> _S:
        """number * record: the record scaled (any real number, NumPy's scalar types included)."""
    def __truediv__(self, other: Number, /) -> _S:
        """record / number; ZeroDivisionError "float division" for 0."""
    def __rtruediv__(self, other: object, /) -> Any: ...  # always NotImplemented
    def __neg__(self) -> _S: ...
    def __pos__(self) -> _S: ...
    def __abs__(self) -> float: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> float:
        """Component `index` (0-based, no negative indices); IndexError outside."""
    def __setitem__(self, index: int, value: Number, /) -> None:
        """Sets component `index` in place; every holder of this object sees the change."""
    def __iter__(self) -> Iterator[float]: ...
    def __reduce__(self) -> Tuple[type[Self], Tuple[float, ...]]: ...
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """The stored components as a writable buffer of shape (n,), format "d" (or "f")."""

class Vector(Components[_S]):
    def multiply(self, s: Number, /) -> _S:
        """A new vector: every component times `s`; also ``v * s`` and ``s * v``."""
    def negate(self) -> _S:
        """A new vector: -self."""
    def distance(self, other: _S, /) -> float:
        """The length of self - other."""
    def __mul__(self, other: Number, /) -> _S: ...

class Quaternion(Components[_S], Generic[_S, _V]):
    def multiply(self, other: _S, /) -> _S:
        """The Hamilton product self * other (apply `other` first, then self)."""
    def conjugate(self) -> _S:
        """(w, -x, -y, -z)."""
    def inverse(self) -> _S:
        """The multiplicative inverse; ZeroDivisionError for the zero quaternion."""
    def rotate(self, v: _V, /) -> _V:
        """The 3-vector `v` rotated by this quaternion (normalised first); ZeroDivisionError for zero."""
    @classmethod
    def from_axis_angle(cls, axis: _V, degrees: Number) -> Self:
        """The right-handed rotation about `axis` by `degrees`; ValueError for a zero axis."""
    def __mul__(self, other: Union[_S, Number], /) -> _S:
        """q * p is the Hamilton product; q * number scales."""

class Matrix(Generic[_S, _V]):
    """An immutable 4x4 matrix, row by row: ``m[i]`` is row i as a tuple, ``m[i, j]`` one element, ``m @ n`` the
    product and ``m @ v`` the 3-vector point v transformed (w = 1). Equal matrices hash alike.
    ``np.asarray(m)`` is a read-only (4, 4) array of the elements."""

    __array_ufunc__: ClassVar[None]
    @overload
    def __new__(cls, *elements: Number) -> Self:
        """No argument: the identity; 16 numbers: the elements row by row (TypeError for another count)."""
    @overload
    def __new__(cls, elements: ComponentSequence, /) -> Self:
        """One sequence: 16 numbers, or 4 rows of 4 (a nested list, a (4, 4) array, another matrix)."""
    def inverse(self) -> _S:
        """The inverse (Gauss-Jordan with partial pivoting); ValueError when the matrix is singular."""
    def transpose(self) -> _S:
        """The transposed matrix."""
    def multiply(self, other: _S, /) -> _S:
        """The matrix product self @ other."""
    def determinant(self) -> float:
        """The determinant (cached)."""
    def transform(self, v: _V, /) -> _V:
        """The point `v` transformed: rows 1 to 3 applied to (x, y, z, 1)."""
    def get(self, row: int, col: int) -> float:
        """The element at `row`, `col` (0 to 3); IndexError outside."""
    def trace(self) -> float:
        """The sum of the diagonal."""
    def is_close(self, other: _S, tolerance: Number = 1e-12) -> bool:
        """True when no element differs by more than `tolerance`."""
    def tolist(self) -> List[List[float]]:
        """The rows as a list of four lists of floats."""
    @classmethod
    def identity(cls) -> Self:
        """The identity matrix."""
    @overload
    def __matmul__(self, other: _S, /) -> _S: ...
    @overload
    def __matmul__(self, other: _V, /) -> _V: ...
    def __rmatmul__(self, other: object, /) -> Any: ...  # always NotImplemented
    @overload
    def __getitem__(self, index: int, /) -> Tuple[float, float, float, float]: ...
    @overload
    def __getitem__(self, index: Tuple[int, int], /) -> float: ...
    def __len__(self) -> int: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> Tuple[type[Self], Tuple[float, ...]]: ...
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview:
            """The elements as a read-only buffer of shape (4, 4), format "d" (or "f")."""

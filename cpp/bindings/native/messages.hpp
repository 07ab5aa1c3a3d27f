// Every message text the modules raise, in one place.
#pragma once

namespace vx::msg {

inline constexpr const char kArgCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr const char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr const char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr const char kKeywordsMustBeStrings[] = "%.200s() keywords must be strings";
inline constexpr const char kArgType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr const char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr const char kFloatDivision[] = "float division";
inline constexpr const char kBadInternalCall[] = "%s:%d: bad argument to internal function";

// The math types; "%s" is the class's short name.
inline constexpr const char kIndexOutOfRange[] = "%s index out of range";
inline constexpr const char kComponentDeleted[] = "%s components cannot be deleted";
inline constexpr const char kZeroAxis[] = "rotation axis has zero length";
inline constexpr const char kZeroNoInverse[] = "zero %s has no inverse";
inline constexpr const char kZeroNoRotation[] = "zero %s is no rotation";
inline constexpr const char kSingular[] = "%s is singular and has no inverse";
inline constexpr const char kMatrixArgCount[] = "%s() takes 0 or 16 positional arguments (%zd given)";
inline constexpr const char kNoKeywords[] = "%s() takes no keyword arguments";
inline constexpr const char kTooManyEntries[] = "more native table entries than the class set-up holds";
inline constexpr const char kVectorcallInherited[] = "class construction shortcut reached from a subclass";
inline constexpr const char kMatrixIndices[] = "%s indices must be an int (row) or a pair of ints (row, col)";
inline constexpr const char kSequenceLength[] = "%s() takes a sequence of %zd numbers (got %zd)";
inline constexpr const char kMatrixSequence[] = "%s() takes 16 numbers, or 4 rows of 4 numbers, as one sequence";
inline constexpr const char kReadOnlyBuffer[] = "%s is immutable: its buffer is read-only";

inline constexpr const char kIntegerRequired[] = "an integer is required";
inline constexpr const char kIntWrongResult[] = "__%.4s__ returned non-%.4s (type %.200s)";
inline constexpr const char kIntTooLarge[] = "value too large to convert to int";
inline constexpr const char kIntTooSmall[] = "value too small to convert to int";

inline constexpr const char kNotAType[] = "%.200s.%.200s is not a type object";
inline constexpr const char kSizeSmaller[] =
    "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject";
inline constexpr const char kSizeLarger[] =
    "%s.%s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject";
inline constexpr const char kInvalidVtable[] = "invalid vtable found for imported type";
inline constexpr const char kMissingCFunction[] = "%.200s does not export expected C function %.200s";
inline constexpr const char kWrongSignature[] =
    "C function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)";

inline constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";
inline constexpr const char kReinit[] = "Module '%s' has already been imported. Re-initialisation is not supported.";
inline constexpr const char kVersionMismatch[] = "compiletime version %s of module '%.100s' does not match runtime version %s";
inline constexpr const char kNameNotDefined[] = "name '%U' is not defined";
inline constexpr const char kPicklingInit[] = "Unable to initialize pickling for %s";
inline constexpr const char kNotInitialised[] = "%s is not initialised: its import failed";

inline constexpr const char kNoDefaultReduce[] = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr const char kStructPickling[] =
    "Pickling of struct members such as self._vector must be explicitly requested with @auto_pickle(True)";

// The astrodynamics siblings: root finding, Kepler propagation, Lambert's problem. "%s" is the function or
// class name where the text names one.
inline constexpr const char kAbstractEvaluate[] =
    "RootFunctionBinding.evaluate is abstract: subclass RootFunctionBinding and define evaluate(x)";
inline constexpr const char kUnknownKeplerForm[] =
    "unknown Kepler equation form %R: expected 'elliptic', 'hyperbolic' or 'universal'";
inline constexpr const char kNullKeplerEquation[] = "CreateKeplerEquationBinding: the equation pointer is null";
inline constexpr const char kTooManyKeplerParameters[] =
    "KeplerEquationBinding() takes a form and at most 5 parameters (%zd given)";
inline constexpr const char kAtLeastOne[] = "%s: %s must be at least 1 (got %d)";
inline constexpr const char kIntervalNotFinite[] = "%s: x0 and x1 must be finite numbers";
inline constexpr const char kNoSignChange[] = "%s: f does not change sign between %s and %s (after widening the interval)";
inline constexpr const char kRootNaN[] = "%s: the function returned NaN";
inline constexpr const char kRootNoConvergence[] = "%s: no convergence within %d evaluations (last bracket [%s, %s])";
inline constexpr const char kKeplerMu[] = "%s: mu must be a positive finite number";
inline constexpr const char kKeplerNotFinite[] = "%s: position, velocity and dt must be finite numbers";
inline constexpr const char kKeplerZeroPosition[] = "%s: the position must not be the zero vector";
inline constexpr const char kKeplerFailed[] = "%s: %s";  // the numerics' own status text
inline constexpr const char kLambertFailed[] = "LambertProblem: %s";
inline constexpr const char kLambertNoConvergence[] =
    "LambertProblem: the iteration did not converge for %d revolution(s), %s branch";
inline constexpr const char kSolutionIndex[] = "solution index %d out of range (%d solutions)";

}  // namespace vx::msg

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

inline constexpr const char kNoDefaultReduce[] = "no default __reduce__ due to non-trivial __cinit__";
inline constexpr const char kStructPickling[] =
    "Pickling of struct members such as self._vector must be explicitly requested with @auto_pickle(True)";

}  // namespace vx::msg

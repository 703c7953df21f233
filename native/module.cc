// The Python module boundary, and the only file that includes Python.h. One table registers the
// module's functions and the BM25Engine type; one binder matches arguments to parameters; small
// converters turn arguments into native values; one guard turns native failures into exceptions.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "code_parser.h"
#include "common.h"
#include "graph_algos.h"
#include "tokenizer.h"
#include "utils.h"
#include "vector_ops.h"

namespace vantrel {
namespace {

// ============================================================================================
// Reference holders
// ============================================================================================
// Every new reference goes into an Object on the line that creates it; a raw PyObject* is always
// borrowed.

class Object {
 public:
  Object() noexcept = default;
  static Object steal(PyObject* p) noexcept { return Object(p); }
  static Object borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Object(p);
  }
  Object(Object&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Object& operator=(Object&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(p_);
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  ~Object() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit Object(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// ============================================================================================
// Interpreter errors
// ============================================================================================

// Thrown once a Python exception is set; the entry guard returns null with it in place.
struct PythonError {};

// Ends the current step after a call into the interpreter failed. A failure that set no
// exception is reported as SystemError, so that no entry returns null without one.
[[noreturn]] void throw_python_error() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  throw PythonError{};
}

// Takes ownership of a new reference returned by the interpreter; null means failure.
Object check(PyObject* p) {
  if (p == nullptr) throw_python_error();
  return Object::steal(p);
}

void check_status(int status) {
  if (status < 0) throw_python_error();
}

// The qualified name of an object's type, as Python spells it. PyPy's tp_name lacks the module
// prefix that CPython's carries, so __qualname__ gives the same text on both.
std::string type_qualname(PyObject* obj) {
  Object name = Object::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    if (const char* text = PyUnicode_AsUTF8(name.get())) return text;
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

// Raises the conversion TypeError "'T' object cannot be cast as 'X'".
[[noreturn]] void raise_cast(PyObject* obj, const char* target) {
  std::string message = "'" + type_qualname(obj) + "' object cannot be cast as '" + target + "'";
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

// ============================================================================================
// Native failures and the entry guard
// ============================================================================================

constexpr const char kNativeFailureDoc[] =
    "Raised when native code called from Python fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally "
    "propagates through the whole stack and ends the interpreter.";
constexpr const char kGenericFailure[] = "native code failed without a message";

// The NativeFailure type, created on first use (with the interpreter lock held) and kept for the
// life of the process. Null with an exception set if it cannot be created.
PyObject* native_failure_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("native_runtime.NativeFailure", kNativeFailureDoc,
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* exception_type(ErrorKind kind) noexcept {
  switch (kind) {
    case ErrorKind::kValue: return PyExc_ValueError;
    case ErrorKind::kFileNotFound: return PyExc_FileNotFoundError;
    case ErrorKind::kOs: return PyExc_OSError;
    case ErrorKind::kRuntime: return PyExc_RuntimeError;
    case ErrorKind::kNotImplemented: return PyExc_NotImplementedError;
  }
  return nullptr;
}

void raise_native_failure(const char* message) {
  if (PyObject* type = native_failure_type()) {
    PyErr_SetString(type, message != nullptr ? message : kGenericFailure);
  }
}

// Turns the exception being handled into a Python exception. Must be called from a catch block.
// Should translating itself fail, nothing sane is left to do.
void set_python_error_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const PythonError&) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
      }
    } catch (const Error& error) {
      PyObject* type = exception_type(error.kind());
      if (type == nullptr) throw std::logic_error("unknown error kind");
      PyErr_SetString(type, error.what());
    } catch (const std::exception& error) {
      raise_native_failure(error.what());
    } catch (...) {
      raise_native_failure(nullptr);
    }
  } catch (...) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
}

// Runs an entry point's body; any failure becomes a Python exception and a null result.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// Runs a deallocator: destroys the native state, then frees the object through its type. A
// deallocator cannot raise, so a failure goes to the unraisable-exception hook; an exception
// that was pending when the deallocation began is kept.
template <typename Destroy>
void guarded_dealloc(PyObject* self, Destroy&& destroy) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject *pending_type, *pending_value, *pending_trace;
  PyErr_Fetch(&pending_type, &pending_value, &pending_trace);
  try {
    destroy();
  } catch (...) {
    set_python_error_from_current_exception();
    // The object itself is half destroyed (its count is zero), so the type names the context.
    PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  }
  PyErr_Restore(pending_type, pending_value, pending_trace);
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Releases the interpreter lock for its scope and takes it back on leaving, also when an
// exception leaves the scope, so the failure is translated with the lock held.
class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// ============================================================================================
// Converters: one per argument kind
// ============================================================================================
// Each kind has `Value convert(PyObject*)`, which either returns the native value or sets a
// Python exception and throws PythonError; the binder adds the argument's name to TypeErrors.
// `kViews` says whether the value views memory inside the converted object.

// The UTF-8 form of a str. The bytes live inside the str object (the interpreter caches them), so
// the view is valid while the object is alive. A lone surrogate raises the encoding error.
std::string_view utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) throw_python_error();
  return {data, static_cast<std::size_t>(size)};
}

// text: a str (or subclass). The view borrows the argument, which the caller keeps alive for the
// whole call.
struct TextKind {
  using Value = std::string_view;
  static constexpr bool kViews = true;
  static Value convert(PyObject* obj) {
    if (!PyUnicode_Check(obj)) raise_cast(obj, "str");
    return utf8_of(obj);
  }
};

// float: whatever the interpreter's float conversion takes.
struct FloatKind {
  using Value = double;
  static constexpr bool kViews = false;
  static Value convert(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
#ifdef PYPY_VERSION
      // PyPy's float conversion ignores __index__, which CPython's honours after __float__.
      if (PyErr_ExceptionMatches(PyExc_TypeError) && PyIndex_Check(obj)) {
        PyErr_Clear();
        Object index = check(PyNumber_Index(obj));
        value = PyLong_AsDouble(index.get());
        if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
        return value;
      }
#endif
      throw PythonError{};
    }
    return value;
  }
};

// count: a non-negative int, or anything with __index__; OverflowError passes unchanged.
struct CountKind {
  using Value = std::uint64_t;
  static constexpr bool kViews = false;
  static Value convert(PyObject* obj) {
    Object index = PyLong_CheckExact(obj) ? Object::borrow(obj) : check(PyNumber_Index(obj));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return value;
  }
};

// A NumPy boolean scalar, recognised by its type's module and name so that NumPy need not be
// imported to tell.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  Object module = Object::steal(PyObject_GetAttrString(type, "__module__"));
  Object name = Object::steal(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name || !PyUnicode_Check(module.get()) || !PyUnicode_Check(name.get())) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0);
}

// flag: exactly True or False, or a NumPy boolean scalar; 0 and 1 are refused.
struct FlagKind {
  using Value = bool;
  static constexpr bool kViews = false;
  static Value convert(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (is_numpy_bool(obj)) {
      int truth = PyObject_IsTrue(obj);
      if (truth < 0) throw_python_error();
      return truth != 0;
    }
    raise_cast(obj, "bool");
  }
};

// optional X: None, or a value of kind X.
template <typename Kind>
struct OptionalKind {
  using Value = std::optional<typename Kind::Value>;
  static constexpr bool kViews = Kind::kViews;
  static Value convert(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    return Kind::convert(obj);
  }
};

constexpr const char kStrIsNotList[] = "'str' object cannot be taken as a sequence of items";

// Visits the elements of a list-kind argument in iteration order, after refusing a str and a
// non-sequence. `reserve` receives the length when the object reports one. Exact lists and tuples
// are walked directly (the same order as iterating them); every element is held by a new
// reference while it is visited, since converting it may run Python code.
template <typename Reserve, typename Visit>
void for_each_element(PyObject* seq, Reserve&& reserve, Visit&& visit) {
  if (PyUnicode_Check(seq)) raise_type_error(kStrIsNotList);
  if (!PySequence_Check(seq)) raise_cast(seq, "Sequence");
  Py_ssize_t hint = PyObject_Length(seq);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    reserve(static_cast<std::size_t>(hint));
  }
  if (PyList_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
      visit(Object::borrow(PyList_GET_ITEM(seq, i)));
    }
    return;
  }
  if (PyTuple_CheckExact(seq)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) {
      visit(Object::borrow(PyTuple_GET_ITEM(seq, i)));
    }
    return;
  }
  Object iterator = check(PyObject_GetIter(seq));
  while (PyObject* item = PyIter_Next(iterator.get())) visit(Object::steal(item));
  if (PyErr_Occurred()) throw PythonError{};
}

// A tuple (or subclass) of exactly two items, converted by two kinds in order.
template <typename First, typename Second>
struct PairKind {
  using Value = std::pair<typename First::Value, typename Second::Value>;
  static constexpr bool kViews = First::kViews || Second::kViews;
  static Value convert(PyObject* item) {
    if (!PyTuple_Check(item)) raise_cast(item, "tuple");
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
      std::string message =
          "expected tuple of length 2, but got tuple of length " + std::to_string(size);
      PyErr_SetString(PyExc_ValueError, message.c_str());
      throw PythonError{};
    }
    // Braced initialisation converts left to right.
    return Value{First::convert(PyTuple_GET_ITEM(item, 0)),
                 Second::convert(PyTuple_GET_ITEM(item, 1))};
  }
};

// list of X: a sequence (not a str) whose elements are of kind X, converted whole. Where element
// values view memory inside the element (the UTF-8 bytes of a str), `owners` holds each element
// until the list is dropped, which must happen with the interpreter lock held.
template <typename Element>
struct ListKind {
  struct Value {
    std::vector<typename Element::Value> items;
    std::vector<Object> owners;
  };
  static constexpr bool kViews = false;  // a Value owns what it views
  static Value convert(PyObject* obj) {
    Value list;
    for_each_element(
        obj,
        [&](std::size_t n) {
          list.items.reserve(n);
          if constexpr (Element::kViews) list.owners.reserve(n);
        },
        [&](Object item) {
          list.items.push_back(Element::convert(item.get()));
          if constexpr (Element::kViews) list.owners.push_back(std::move(item));
        });
    return list;
  }
};

using TextListKind = ListKind<TextKind>;
using FloatListKind = ListKind<FloatKind>;
using EdgeListKind = ListKind<PairKind<TextKind, TextKind>>;
using RankedListsKind = ListKind<ListKind<PairKind<TextKind, FloatKind>>>;

// ---- NumPy arrays -------------------------------------------------------------------------
// NumPy is reached through the API table in its `_ARRAY_API` capsule rather than its headers, so
// one build serves NumPy 1.x and 2.x alike. Only layouts that both majors share are read: the
// array object's leading fields, and the descriptor's fields up to type_num.

struct NumpyDescrHead {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char former_flags;
  int type_num;
};

struct NumpyArrayHead {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  NumpyDescrHead* descr;
  int flags;
};

constexpr int kNumpyFloat32 = 11;  // NPY_FLOAT
constexpr std::size_t kApiArrayType = 2;  // PyArray_Type
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr char kSwappedByteOrder = '<';
#else
constexpr char kSwappedByteOrder = '>';
#endif

// Loads NumPy's API table: the capsule of numpy._core.multiarray for NumPy 2, of
// numpy.core.multiarray for NumPy 1, chosen by the major version in numpy.__version__.
void** load_numpy_api() {
  Object numpy = check(PyImport_ImportModule("numpy"));
  Object version = check(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!PyUnicode_Check(version.get())) raise_cast(version.get(), "str");
  long major = std::strtol(std::string(utf8_of(version.get())).c_str(), nullptr, 10);
  Object multiarray = check(
      PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray"));
  Object capsule = check(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
  if (table == nullptr) throw_python_error();
  return static_cast<void**>(table);
}

// NumPy's ndarray type, or null when NumPy has not been imported (then no array can exist).
// Cached under the interpreter lock; the table lives as long as NumPy, which is never unloaded.
PyTypeObject* ndarray_type() {
  static void** api = nullptr;
  if (api == nullptr) {
    if (PyDict_GetItemString(PyImport_GetModuleDict(), "numpy") == nullptr) return nullptr;
    api = load_numpy_api();
  }
  return static_cast<PyTypeObject*>(api[kApiArrayType]);
}

// A NumPy array of `nd` dimensions whose elements are native-order float32, read in place.
const NumpyArrayHead& float32_array(PyObject* obj, int nd) {
  PyTypeObject* type = ndarray_type();
  if (type == nullptr || !PyObject_TypeCheck(obj, type)) raise_cast(obj, "ndarray");
  const auto& array = *reinterpret_cast<const NumpyArrayHead*>(obj);
  if (array.nd != nd || array.descr->type_num != kNumpyFloat32 ||
      array.descr->byteorder == kSwappedByteOrder) {
    raise_cast(obj, "ndarray");
  }
  return array;
}

struct Float32VectorKind {
  using Value = Float32Vector;
  static constexpr bool kViews = true;
  static Value convert(PyObject* obj) {
    const NumpyArrayHead& array = float32_array(obj, 1);
    return {array.data, static_cast<std::size_t>(array.dimensions[0]), array.strides[0]};
  }
};

struct Float32MatrixKind {
  using Value = Float32Matrix;
  static constexpr bool kViews = true;
  static Value convert(PyObject* obj) {
    const NumpyArrayHead& array = float32_array(obj, 2);
    return {array.data, static_cast<std::size_t>(array.dimensions[0]),
            static_cast<std::size_t>(array.dimensions[1]), array.strides[0], array.strides[1]};
  }
};

// ============================================================================================
// Result builders
// ============================================================================================

Object py_str(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// ============================================================================================
// Binder
// ============================================================================================

constexpr std::size_t kMaxParams = 5;

// One parameter: its name and, for an optional one, its default as written in the text
// signature ("0.85", "100", "True", "None"), from which the default object is made once.
struct Param {
  const char* name = nullptr;
  const char* default_text = nullptr;
};

enum class Lock { kHeld, kReleased };  // whether compute() runs without the interpreter lock
enum class Style { kFunction, kMethod, kNoArgsMethod, kClass };

struct Call;
using Impl = Object (*)(Call&);

// One row of the registration table.
struct EntrySpec {
  const char* name;
  Style style;
  std::array<Param, kMaxParams> params;
  const char* body;  // docstring body, after the text signature
  Impl impl;
  Lock lock;

  constexpr std::size_t param_count() const {
    std::size_t n = 0;
    while (n < kMaxParams && params[n].name != nullptr) ++n;
    return n;
  }
};

// The name used in binding messages: "pagerank()", "BM25Engine.score()".
std::string display_name(const EntrySpec& spec) {
  std::string name = spec.style == Style::kFunction ? "" : "BM25Engine.";
  return name + (spec.style == Style::kClass ? "__new__" : spec.name) + "()";
}

// "pagerank(edges, damping=0.85, ...)", "index($self, documents)".
std::string text_signature(const EntrySpec& spec) {
  std::string text = spec.name;
  text += '(';
  bool first = true;
  if (spec.style == Style::kMethod || spec.style == Style::kNoArgsMethod) {
    text += "$self";
    first = false;
  }
  for (std::size_t i = 0; i < spec.param_count(); ++i) {
    if (!first) text += ", ";
    first = false;
    text += spec.params[i].name;
    if (spec.params[i].default_text != nullptr) {
      text += '=';
      text += spec.params[i].default_text;
    }
  }
  return text + ')';
}

// Signature line, "--", an empty line, then the body: the form from which the interpreter
// derives __text_signature__ and __doc__.
std::string doc_text(const EntrySpec& spec) {
  return text_signature(spec) + "\n--\n\n" + spec.body;
}

// The default object for a default written in a text signature. Made once; never released.
PyObject* default_object(const char* text) {
  std::string_view view(text);
  if (view == "None") return Py_None;
  if (view == "True") return Py_True;
  if (view == "False") return Py_False;
  if (view.find_first_of(".eE") != std::string_view::npos) {
    return check(PyFloat_FromDouble(std::strtod(text, nullptr))).release();
  }
  return check(PyLong_FromString(text, nullptr, 10)).release();
}

std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// The arguments of one call, bound to parameters, and the conversions run on them.
struct Call {
  const EntrySpec& spec;
  PyObject* const* defaults;               // per parameter, null for required ones
  PyObject* self;                          // the receiver of a method, else the module
  std::array<PyObject*, kMaxParams> args{};  // borrowed; every slot filled after bind()

  // Matches positional and keyword arguments to the parameters; `keyword(i)` gives the i-th
  // keyword's (name, value). Raises the binding TypeErrors; converts nothing.
  template <typename Keyword>
  void bind(PyObject* const* positional, std::size_t npositional, std::size_t nkeywords,
            Keyword&& keyword) {
    const std::size_t nparams = spec.param_count();
    if (npositional > nparams) too_many_positional(npositional);
    for (std::size_t i = 0; i < npositional; ++i) args[i] = positional[i];
    for (std::size_t k = 0; k < nkeywords; ++k) {
      auto [name, value] = keyword(k);
      std::size_t slot = nparams;
      for (std::size_t i = 0; i < nparams; ++i) {
        if (PyUnicode_CompareWithASCIIString(name, spec.params[i].name) == 0) {
          slot = i;
          break;
        }
      }
      if (slot == nparams) {
        // %U, not the UTF-8 form: a keyword may hold characters that have none.
        Object message = check(PyUnicode_FromFormat(
            "%s got an unexpected keyword argument '%U'", display_name(spec).c_str(), name));
        PyErr_SetObject(PyExc_TypeError, message.get());
        throw PythonError{};
      }
      if (args[slot] != nullptr) {
        raise_type_error(display_name(spec) + " got multiple values for argument '" +
                         spec.params[slot].name + "'");
      }
      args[slot] = value;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < nparams; ++i) {
      if (args[i] != nullptr) continue;
      if (defaults[i] == nullptr) {
        missing.push_back(spec.params[i].name);
      } else {
        args[i] = defaults[i];
      }
    }
    if (!missing.empty()) {
      raise_type_error(display_name(spec) + " missing " + std::to_string(missing.size()) +
                       " required positional argument" + (missing.size() == 1 ? "" : "s") +
                       ": " + quoted_list(missing));
    }
  }

  [[noreturn]] void too_many_positional(std::size_t given) const {
    const std::size_t nparams = spec.param_count();
    std::size_t required = 0;
    for (std::size_t i = 0; i < nparams; ++i) required += defaults[i] == nullptr ? 1 : 0;
    std::string text = display_name(spec) + " takes ";
    if (required != nparams) text += "from " + std::to_string(required) + " to ";
    text += std::to_string(nparams) + " positional arguments but " + std::to_string(given) +
            (given == 1 ? " was" : " were") + " given";
    raise_type_error(text);
  }

  // Converts argument i by its kind. A TypeError gains the prefix "argument 'name': " (keeping
  // its cause); other exceptions pass unchanged.
  template <typename Kind>
  typename Kind::Value arg(std::size_t i) {
    try {
      return Kind::convert(args[i]);
    } catch (const PythonError&) {
      name_type_error(spec.params[i].name);
      throw;
    }
  }

  // Runs the native work, without the interpreter lock when the entry's row says so.
  template <typename Work>
  auto compute(Work&& work) {
    if (spec.lock == Lock::kReleased) {
      ReleaseGil unlocked;
      return work();
    }
    return work();
  }

  static void name_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *raw_type, *raw_value, *raw_trace;
    PyErr_Fetch(&raw_type, &raw_value, &raw_trace);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_trace);
    Object type = Object::steal(raw_type);
    Object value = Object::steal(raw_value);
    Object trace = Object::steal(raw_trace);
    Object text = check(PyObject_Str(value.get()));
    Object message = check(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    Object renamed =
        check(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (PyObject* cause = PyException_GetCause(value.get())) {
      PyException_SetCause(renamed.get(), cause);  // steals the cause
    }
    PyErr_SetObject(PyExc_TypeError, renamed.get());
  }
};

// ============================================================================================
// BM25Engine type
// ============================================================================================

struct EngineObject {
  PyObject_HEAD
  // 0 free, -1 held by one exclusive user, n > 0 shared by n users.
  std::atomic<long> borrow;
  Bm25Engine* engine;
};

// One use of an engine, given back when the holder is destroyed. A conflicting use fails at
// once instead of waiting.
class EngineUse {
 public:
  static EngineUse exclusive(EngineObject& obj) {
    long expected = 0;
    if (!obj.borrow.compare_exchange_strong(expected, -1)) {
      throw Error(ErrorKind::kRuntime, "Already borrowed");
    }
    return EngineUse(obj, true);
  }
  static EngineUse shared(EngineObject& obj) {
    long current = obj.borrow.load();
    do {
      if (current == -1) throw Error(ErrorKind::kRuntime, "Already mutably borrowed");
    } while (!obj.borrow.compare_exchange_weak(current, current + 1));
    return EngineUse(obj, false);
  }
  EngineUse(EngineUse&& other) noexcept
      : obj_(std::exchange(other.obj_, nullptr)), exclusive_(other.exclusive_) {}
  EngineUse(const EngineUse&) = delete;
  EngineUse& operator=(const EngineUse&) = delete;
  EngineUse& operator=(EngineUse&&) = delete;
  ~EngineUse() {
    if (obj_ == nullptr) return;
    if (exclusive_) {
      obj_->borrow.store(0);
    } else {
      obj_->borrow.fetch_sub(1);
    }
  }
  Bm25Engine& engine() const noexcept { return *obj_->engine; }

 private:
  EngineUse(EngineObject& obj, bool exclusive) noexcept : obj_(&obj), exclusive_(exclusive) {}
  EngineObject* obj_;
  bool exclusive_;
};

PyTypeObject* engine_type();

// The receiver of a method. PyPy lets object.__new__(BM25Engine) make an instance that never ran
// the constructor; it has no native state and is refused here rather than dereferenced.
EngineObject& engine_receiver(PyObject* self) {
  if (!PyObject_TypeCheck(self, engine_type())) raise_cast(self, "BM25Engine");
  auto& obj = *reinterpret_cast<EngineObject*>(self);
  if (obj.engine == nullptr) {
    raise_type_error("BM25Engine object is not initialised; create it with BM25Engine()");
  }
  return obj;
}

// ============================================================================================
// Entries
// ============================================================================================

[[noreturn]] void not_built(const Call& call) {
  throw Error(ErrorKind::kNotImplemented, display_name(call.spec) + " is not implemented yet");
}

// An entry whose behaviour arrives in a later step: it binds and converts every argument by its
// kind, so that callers already get the final argument errors, then reports that it is missing.
template <typename... Kinds>
Object pending(Call& call) {
  std::size_t i = 0;
  (static_cast<void>(call.arg<Kinds>(i++)), ...);
  not_built(call);
}

Object compute_file_hash(Call& call) {
  std::string_view content = call.arg<TextKind>(0);
  std::array<char, 16> hash = call.compute([&] { return content_hash(content); });
  return py_str({hash.data(), hash.size()});
}

Object engine_new(Call& call) {
  Bm25Params params;
  params.k1 = static_cast<float>(call.arg<FloatKind>(0));
  params.b = static_cast<float>(call.arg<FloatKind>(1));
  params.delta = static_cast<float>(call.arg<FloatKind>(2));
  auto* type = reinterpret_cast<PyTypeObject*>(call.self);
  Object obj = check(type->tp_alloc(type, 0));
  auto* engine = reinterpret_cast<EngineObject*>(obj.get());
  new (&engine->borrow) std::atomic<long>(0);
  engine->engine = new Bm25Engine(params);
  return obj;
}

Object engine_index(Call& call) {
  EngineUse use = EngineUse::exclusive(engine_receiver(call.self));
  auto documents = call.arg<TextListKind>(0);
  not_built(call);
}

Object engine_score(Call& call) {
  EngineUse use = EngineUse::shared(engine_receiver(call.self));
  call.arg<TextKind>(0);
  call.arg<OptionalKind<CountKind>>(1);
  call.arg<FloatKind>(2);
  not_built(call);
}

Object engine_get_stats(Call& call) {
  EngineUse use = EngineUse::shared(engine_receiver(call.self));
  not_built(call);
}

using Text = TextKind;
using Count = CountKind;
using Float = FloatKind;
using Flag = FlagKind;
using Texts = TextListKind;
using Edges = EdgeListKind;

// ============================================================================================
// Registration table
// ============================================================================================
// The module body registers these rows in order; __all__ lists their names in the same order.

constexpr const char kBfsTraversalDoc[] =
    "Multi-hop BFS traversal that returns predecessor edges in BFS tree order.\n"
    "\n"
    "This is designed for graph expansion in Python where we want concrete edges:\n"
    "(source_file, target_file, relation_type, hop_distance).\n"
    "\n"
    "relation_type is:\n"
    "- \"imports\" when traversing a forward edge (source -> target)\n"
    "- \"imported_by\" when traversing a reverse edge (target <- source)";

// bfs_expansion and bfs_traversal_edges take the same parameters.
constexpr std::array<Param, kMaxParams> kBfsParams = {{{"edges"},
                                                       {"start_nodes"},
                                                       {"max_hops", "3"},
                                                       {"max_results", "30"},
                                                       {"bidirectional", "True"}}};

constexpr EntrySpec kEntries[] = {
    {"cosine_similarity", Style::kFunction, {{{"vec1"}, {"vec2"}}},
     "Compute cosine similarity between two vectors\n\nArgs:\n    vec1: First vector (1D numpy "
     "array)\n    vec2: Second vector (1D numpy array)\n\nReturns:\n    Cosine similarity score "
     "(float)",
     pending<Float32VectorKind, Float32VectorKind>, Lock::kHeld},
    {"cosine_similarity_batch", Style::kFunction, {{{"query"}, {"documents"}}},
     "Compute cosine similarity between a query vector and multiple document vectors\nUses "
     "parallel processing for better performance\n\nArgs:\n    query: Query vector (1D numpy "
     "array)\n    documents: Document vectors (2D numpy array, each row is a document)\n\n"
     "Returns:\n    Array of cosine similarity scores",
     pending<Float32VectorKind, Float32MatrixKind>, Lock::kReleased},
    {"reciprocal_rank_fusion", Style::kFunction, {{{"ranked_lists"}, {"k", "60.0"}}},
     "Reciprocal Rank Fusion (RRF) - combines multiple ranked lists\n\nArgs:\n    ranked_lists: "
     "List of lists, where each inner list contains (doc_id, score) tuples\n    k: RRF constant "
     "(default: 60)\n\nReturns:\n    List of (doc_id, fused_score) tuples, sorted by fused score "
     "descending",
     pending<RankedListsKind, Float>, Lock::kHeld},
    {"reciprocal_rank_fusion_weighted", Style::kFunction,
     {{{"ranked_lists"}, {"weights"}, {"k", "60.0"}}},
     "Weighted Reciprocal Rank Fusion - combines multiple ranked lists with custom weights\n\n"
     "Args:\n    ranked_lists: List of lists, where each inner list contains (doc_id, score) "
     "tuples\n    weights: List of weights for each ranked list (must match length of "
     "ranked_lists)\n    k: RRF constant (default: 60)\n\nReturns:\n    List of (doc_id, "
     "fused_score) tuples, sorted by fused score descending",
     pending<RankedListsKind, FloatListKind, Float>, Lock::kHeld},
    {"BM25Engine", Style::kClass, {{{"k1", "1.5"}, {"b", "0.75"}, {"delta", "1.0"}}},
     "High-performance BM25 scoring engine with WAND-inspired optimization", engine_new,
     Lock::kHeld},
    {"pagerank", Style::kFunction,
     {{{"edges"}, {"damping", "0.85"}, {"max_iterations", "100"}, {"tolerance", "1e-6"}}},
     "Compute PageRank scores for a directed graph\n\nArgs:\n    edges: List of (source, target) "
     "tuples representing directed edges\n    damping: Damping factor (default: 0.85)\n    "
     "max_iterations: Maximum number of iterations (default: 100)\n    tolerance: Convergence "
     "tolerance (default: 1e-6)\n\nReturns:\n    Dictionary mapping node names to PageRank scores",
     pending<Edges, Float, Count, Float>, Lock::kHeld},
    {"bfs_expansion", Style::kFunction,
     kBfsParams,
     "Multi-hop BFS graph expansion with bidirectional traversal\n\nArgs:\n    edges: List of "
     "(source, target) tuples representing directed edges\n    start_nodes: List of starting "
     "node names\n    max_hops: Maximum number of hops to traverse (default: 3)\n    "
     "max_results: Maximum number of nodes to return (default: 30)\n    bidirectional: Whether "
     "to traverse both forward and backward (default: true)\n\nReturns:\n    Dictionary mapping "
     "node names to their hop distance from start nodes",
     pending<Edges, Texts, Count, Count, Flag>, Lock::kHeld},
    {"bfs_traversal_edges", Style::kFunction,
     kBfsParams,
     kBfsTraversalDoc, pending<Edges, Texts, Count, Count, Flag>, Lock::kHeld},
    {"strongly_connected_components", Style::kFunction, {{{"edges"}}},
     "Detect strongly connected components using Kosaraju's algorithm\n\nArgs:\n    edges: List "
     "of (source, target) tuples representing directed edges\n\nReturns:\n    List of lists, "
     "where each inner list contains nodes in a strongly connected component",
     pending<Edges>, Lock::kHeld},
    {"extract_code_tokens", Style::kFunction, {{{"text"}}},
     "Extract code tokens from text, handling camelCase, snake_case, etc.", pending<Text>,
     Lock::kHeld},
    {"tokenize_for_search", Style::kFunction, {{{"query"}}}, "Tokenize a search query",
     pending<Text>, Lock::kHeld},
    {"batch_extract_tokens", Style::kFunction, {{{"texts"}}},
     "Batch tokenize multiple texts in parallel", pending<Texts>, Lock::kReleased},
    {"batch_tokenize_queries", Style::kFunction, {{{"queries"}}},
     "Batch tokenize queries in parallel", pending<Texts>, Lock::kReleased},
    {"compute_file_hash", Style::kFunction, {{{"content"}}},
     "Compute truncated SHA256 hash of content (16 hex chars).", compute_file_hash, Lock::kHeld},
    {"jaccard_similarity", Style::kFunction, {{{"text1"}, {"text2"}}},
     "Compute Jaccard similarity between two strings (word-level).", pending<Text, Text>,
     Lock::kHeld},
    {"jaccard_similarity_batch", Style::kFunction, {{{"query"}, {"texts"}}},
     "Batch compute Jaccard similarity of one text against many.\nReturns vec of similarities "
     "in same order as texts.",
     pending<Text, Texts>, Lock::kHeld},
    {"mmr_select_indices", Style::kFunction,
     {{{"scores"}, {"contents"}, {"target_count"}, {"lambda_param", "0.7"}}},
     "Select item indices using Maximal Marginal Relevance (MMR).\n\nThis is used to reduce "
     "near-duplicate results in hybrid retrieval.\n\nArgs:\n    scores: Relevance scores for "
     "each item\n    contents: Text content for each item (preferably already lowercased)\n    "
     "target_count: Number of items to select\n    lambda_param: Tradeoff between relevance and "
     "diversity (0..1)\n\nReturns:\n    List of selected indices in selection order",
     pending<FloatListKind, Texts, Count, Float>, Lock::kReleased},
    {"extract_code_by_line_range", Style::kFunction,
     {{{"repo_path"},
       {"filename"},
       {"line_start"},
       {"line_end"},
       {"max_code_chars", "None"}}},
     "Extract a line range from a file on disk.\n\nReturns a dict with:\n- code\n- "
     "extracted_line_start / extracted_line_end\n- file_line_count\n- truncated",
     pending<Text, Text, Count, Count, OptionalKind<Count>>, Lock::kHeld},
    {"is_language_supported", Style::kFunction, {{{"language"}}}, "", pending<Text>,
     Lock::kHeld},
    {"extract_imports_ast", Style::kFunction, {{{"code"}, {"language"}}}, "",
     pending<Text, Text>, Lock::kHeld},
    {"extract_symbols", Style::kFunction, {{{"code"}, {"language"}, {"filename"}}}, "",
     pending<Text, Text, Text>, Lock::kHeld},
    {"extract_relationships", Style::kFunction, {{{"code"}, {"language"}}}, "",
     pending<Text, Text>, Lock::kHeld},
    {"extract_calls", Style::kFunction,
     {{{"code"}, {"language"}, {"current_function_name", "None"}}}, "",
     pending<Text, Text, OptionalKind<Text>>, Lock::kHeld},
};

constexpr EntrySpec kEngineMethods[] = {
    {"index", Style::kMethod, {{{"documents"}}},
     "Index a corpus of documents\n\nArgs:\n    documents: List of document strings to index",
     engine_index, Lock::kHeld},
    {"score", Style::kMethod, {{{"query"}, {"top_k", "None"}, {"score_threshold", "0.0"}}},
     "Score indexed documents against a query using BM25+\n\nArgs:\n    query: Query string\n    "
     "top_k: Number of top results to return (default: None for all)\n    score_threshold: "
     "Minimum score threshold for results (default: 0.0)\n\nReturns:\n    List of (doc_index, "
     "score) tuples, sorted by score descending",
     engine_score, Lock::kReleased},
    {"get_stats", Style::kNoArgsMethod, {},
     "Get statistics about the indexed corpus\n\nReturns:\n    Dictionary with corpus statistics",
     engine_get_stats, Lock::kHeld},
};

constexpr std::size_t kEntryCount = std::size(kEntries);
constexpr std::size_t kMethodCount = std::size(kEngineMethods);

constexpr std::size_t count_classes() {
  std::size_t n = 0;
  for (const EntrySpec& spec : kEntries) n += spec.style == Style::kClass ? 1 : 0;
  return n;
}
static_assert(kEntryCount == 23 && count_classes() == 1, "22 functions and one class");

// The row of BM25Engine: its constructor's parameters and the type's doc text.
constexpr std::size_t class_row() {
  std::size_t i = 0;
  while (kEntries[i].style != Style::kClass) ++i;
  return i;
}
constexpr std::size_t kClassRow = class_row();

// Default objects of every row's optional parameters, made once at initialisation.
struct Defaults {
  std::array<std::array<PyObject*, kMaxParams>, kEntryCount> entries{};
  std::array<std::array<PyObject*, kMaxParams>, kMethodCount> methods{};
};
Defaults g_defaults;

void make_defaults(const EntrySpec& spec, std::array<PyObject*, kMaxParams>& out) {
  for (std::size_t i = 0; i < spec.param_count(); ++i) {
    if (spec.params[i].default_text != nullptr && out[i] == nullptr) {
      out[i] = default_object(spec.params[i].default_text);
    }
  }
}

// The shared body of every fast-call entry: bind, then run the row's implementation.
PyObject* dispatch(const EntrySpec& spec, PyObject* const* defaults, PyObject* self,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&] {
    Call call{spec, defaults, self};
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    call.bind(args, static_cast<std::size_t>(nargs), static_cast<std::size_t>(nkw),
              [&](std::size_t k) {
                const auto i = static_cast<Py_ssize_t>(k);
                return std::pair{PyTuple_GET_ITEM(kwnames, i), args[nargs + i]};
              });
    return spec.impl(call);
  });
}

template <std::size_t I>
PyObject* function_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return dispatch(kEntries[I], g_defaults.entries[I].data(), module, args, nargs, kwnames);
}

template <std::size_t I>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  return dispatch(kEngineMethods[I], g_defaults.methods[I].data(), self, args, nargs, kwnames);
}

template <std::size_t I>
PyObject* noargs_method_entry(PyObject* self, PyObject*) noexcept {
  return guarded([&] {
    Call call{kEngineMethods[I], g_defaults.methods[I].data(), self};
    return kEngineMethods[I].impl(call);
  });
}

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef stores every entry as a PyCFunction; the flags tell the interpreter the real type.
template <typename Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

template <std::size_t... I>
constexpr std::array<FastEntry, sizeof...(I)> function_entries(std::index_sequence<I...>) {
  return {&function_entry<I>...};
}

// Method definitions of a table, with their doc texts; both live until the process ends.
template <std::size_t N, typename EntryAt>
PyMethodDef* method_defs(const EntrySpec (&specs)[N], EntryAt&& entry_at) {
  auto* defs = new PyMethodDef[N + 1]();
  for (std::size_t i = 0; i < N; ++i) {
    const EntrySpec& spec = specs[i];
    auto* doc = new std::string(doc_text(spec));
    const bool noargs = spec.style == Style::kNoArgsMethod;
    defs[i] = {spec.name, entry_at(i), noargs ? METH_NOARGS : METH_FASTCALL | METH_KEYWORDS,
               doc->c_str()};
  }
  return defs;
}

// ---- BM25Engine slots ------------------------------------------------------------------------

PyObject* engine_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const EntrySpec& spec = kEntries[kClassRow];
  return guarded([&] {
    Call call{spec, g_defaults.entries[kClassRow].data(), reinterpret_cast<PyObject*>(type)};
    std::vector<std::pair<PyObject*, PyObject*>> keywords;
    if (kwargs != nullptr) {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.emplace_back(key, value);
    }
    const Py_ssize_t npositional = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> positional;
    for (Py_ssize_t i = 0; i < npositional; ++i) positional.push_back(PyTuple_GET_ITEM(args, i));
    call.bind(positional.data(), positional.size(), keywords.size(),
              [&](std::size_t k) { return keywords[k]; });
    return spec.impl(call);
  });
}

void engine_tp_dealloc(PyObject* self) noexcept {
  guarded_dealloc(self, [&] {
    delete std::exchange(reinterpret_cast<EngineObject*>(self)->engine, nullptr);
  });
}

// ---- PyPy adaptations ----------------------------------------------------------------------
// PyPy differs from CPython in two ways that show: it lets Python code derive from a type that
// lacks Py_TPFLAGS_BASETYPE, and it drops the doc text of methods defined in a type's method
// table. There the type refuses subclasses from __init_subclass__, with CPython's message, and
// its methods are installed as instance methods wrapping built-in functions, which keep their
// doc texts; the receiver then arrives as the first positional argument.
#ifdef PYPY_VERSION
PyObject* engine_init_subclass(PyObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "type 'builtins.BM25Engine' is not an acceptable base type");
  return nullptr;
}

template <std::size_t I>
PyObject* pypy_method_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
  const EntrySpec& spec = kEngineMethods[I];
  if (nargs == 0) {
    return guarded([&]() -> Object {
      raise_type_error("unbound method " + display_name(spec) + " needs an argument");
    });
  }
  if (spec.style == Style::kNoArgsMethod) {
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
      return guarded([&]() -> Object {
        raise_type_error(display_name(spec) + " takes no keyword arguments");
      });
    }
    if (nargs > 1) {
      return guarded([&]() -> Object {
        raise_type_error(display_name(spec) + " takes no arguments (" +
                         std::to_string(nargs - 1) + " given)");
      });
    }
    return noargs_method_entry<I>(args[0], nullptr);
  }
  // Keyword values stay at args[nargs + k] after the receiver is split off.
  return dispatch(spec, g_defaults.methods[I].data(), args[0], args + 1, nargs - 1, kwnames);
}

void install_pypy_methods(PyObject* type) {
  static PyMethodDef* const defs = method_defs(kEngineMethods, [](std::size_t i) {
    static const PyCFunction kEntryPoints[] = {as_cfunction(&pypy_method_entry<0>),
                                               as_cfunction(&pypy_method_entry<1>),
                                               as_cfunction(&pypy_method_entry<2>)};
    static_assert(std::size(kEntryPoints) == kMethodCount);
    return kEntryPoints[i];
  });
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    defs[i].ml_flags = METH_FASTCALL | METH_KEYWORDS;
    Object function = check(PyCFunction_NewEx(&defs[i], nullptr, nullptr));
    Object method = check(PyInstanceMethod_New(function.get()));
    check_status(PyObject_SetAttrString(type, defs[i].ml_name, method.get()));
  }
}
#endif

PyTypeObject* engine_type() {
  static PyTypeObject* type = nullptr;
  if (type != nullptr) return type;
#ifdef PYPY_VERSION
  static PyMethodDef methods[] = {
      {"__init_subclass__", as_cfunction(&engine_init_subclass),
       METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
      {nullptr, nullptr, 0, nullptr}};
#else
  static PyMethodDef* const methods = method_defs(kEngineMethods, [](std::size_t i) {
    static const PyCFunction kEntryPoints[] = {as_cfunction(&method_entry<0>),
                                               as_cfunction(&method_entry<1>),
                                               as_cfunction(&noargs_method_entry<2>)};
    static_assert(std::size(kEntryPoints) == kMethodCount);
    return kEntryPoints[i];
  });
#endif
  static const std::string* const doc = new std::string(doc_text(kEntries[kClassRow]));
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(&engine_tp_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&engine_tp_dealloc)},
      {Py_tp_doc, const_cast<char*>(doc->c_str())},
      {Py_tp_methods, methods},
      {0, nullptr},
  };
  PyType_Spec spec = {"builtins.BM25Engine", static_cast<int>(sizeof(EngineObject)), 0,
                      Py_TPFLAGS_DEFAULT, slots};
  Object created = check(PyType_FromSpec(&spec));
#ifdef PYPY_VERSION
  install_pypy_methods(created.get());
#endif
  type = reinterpret_cast<PyTypeObject*>(created.release());
  return type;
}

// ============================================================================================
// Initialisation
// ============================================================================================

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "vantrel_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` under `name` and appends the name to __all__.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  Object all = Object::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = check(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  } else if (!PyList_Check(all.get())) {
    raise_cast(all.get(), "list");
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw std::runtime_error("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttr(module, name, value));
}

void run_module_body(PyObject* module) {
  for (std::size_t i = 0; i < kEntryCount; ++i) make_defaults(kEntries[i], g_defaults.entries[i]);
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    make_defaults(kEngineMethods[i], g_defaults.methods[i]);
  }
  static constexpr auto kEntryPoints = function_entries(std::make_index_sequence<kEntryCount>{});
  static PyMethodDef* const defs =
      method_defs(kEntries, [](std::size_t i) { return as_cfunction(kEntryPoints[i]); });
  Object module_name = check(PyObject_GetAttrString(module, "__name__"));
  for (std::size_t i = 0; i < kEntryCount; ++i) {
    if (kEntries[i].style == Style::kClass) {
      Object name = check(PyUnicode_FromString(kEntries[i].name));
      add_to_module(module, name.get(), reinterpret_cast<PyObject*>(engine_type()));
      continue;
    }
    Object function = check(PyCFunction_NewEx(&defs[i], module, module_name.get()));
    Object name = check(PyObject_GetAttrString(function.get(), "__name__"));
    if (!PyUnicode_Check(name.get())) raise_cast(name.get(), "str");
    add_to_module(module, name.get(), function.get());
  }
}

// The module, built once per process. The once-guard is taken without the interpreter lock, so
// that a second importing thread waits on it without holding the lock the first one needs.
Object init_module() {
  static PyObject* cached = nullptr;
  static std::mutex once;
  if (cached != nullptr) return Object::borrow(cached);
  {
    ReleaseGil unlocked;
    once.lock();
  }
  std::lock_guard<std::mutex> hold(once, std::adopt_lock);
  if (cached != nullptr) return Object::borrow(cached);
  Object module = check(PyModule_Create(&g_module_def));
  // PyPy reads an empty m_doc as "no doc" and would show the doc of the module type instead.
  Object empty = check(PyUnicode_FromStringAndSize("", 0));
  check_status(PyObject_SetAttrString(module.get(), "__doc__", empty.get()));
  run_module_body(module.get());
  cached = Object::borrow(module.get()).release();
  return module;
}

}  // namespace
}  // namespace vantrel

PyMODINIT_FUNC PyInit_vantrel_native(void) {
  return vantrel::guarded([] { return vantrel::init_module(); });
}

// A test-only extension, _vantrel_guard_probe, that drives the module boundary's entry guard with
// failures no argument to the real module can provoke: native exceptions with and without text,
// a failure on a pool worker, an interpreter call that fails without an exception, a failing
// deallocator, a failure while translating a failure. It compiles the shipped boundary in.
#include "module.cc"

#include "worker_pool.h"

namespace vantrel {
namespace {

PyObject* probe_fail_with_text(PyObject*, PyObject* text) noexcept {
  return guarded([&]() -> Object { throw std::runtime_error(std::string(utf8_of(text))); });
}

PyObject* probe_fail_without_text(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Object { throw 42; });
}

// An error of a kind the exception mapping does not know: translating it fails in turn.
PyObject* probe_fail_while_failing(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Object { throw Error(static_cast<ErrorKind>(99), "no such kind"); });
}

// Converts a list of texts as the real entries do and returns how many it took: the cost of the
// list-of-texts conversion alone.
PyObject* probe_convert_texts(PyObject*, PyObject* texts) noexcept {
  return guarded([&] {
    auto converted = TextListKind::convert(texts);
    return check(PyLong_FromSize_t(converted.items.size()));
  });
}

// Takes any object and does nothing: the bare cost of a call and of the argument's crossing.
PyObject* probe_accept(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }

PyObject* probe_fail_with_value_error(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Object { throw Error(ErrorKind::kValue, "a bad value"); });
}

PyObject* probe_fail_silently(PyObject*, PyObject*) noexcept {
  return guarded([]() -> Object { return check(nullptr); });
}

// Throws from one chunk of a parallel loop run without the interpreter lock.
PyObject* probe_fail_on_worker(PyObject*, PyObject* count) noexcept {
  return guarded([&]() -> Object {
    const std::uint64_t n = CountKind::convert(count);
    std::vector<int> slots(n, 0);
    {
      ReleaseGil unlocked;
      WorkerPool::instance().parallel_for(n, 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          if (i == n / 2) throw std::runtime_error("worker failed at item " + std::to_string(i));
          slots[i] = 1;
        }
      });
    }
    return py_str("unreachable");
  });
}

// Runs a parallel loop that succeeds and returns the slots it filled, in input order.
PyObject* probe_parallel_squares(PyObject*, PyObject* count) noexcept {
  return guarded([&]() -> Object {
    const std::uint64_t n = CountKind::convert(count);
    std::vector<std::uint64_t> slots(n, 0);
    {
      ReleaseGil unlocked;
      WorkerPool::instance().parallel_for(n, 16, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) slots[i] = i * i;
      });
    }
    Object list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                      check(PyLong_FromUnsignedLongLong(slots[i])).release());
    }
    return list;
  });
}

PyObject* probe_pool_size(PyObject*, PyObject*) noexcept {
  return guarded([] { return check(PyLong_FromUnsignedLong(WorkerPool::instance().size())); });
}

// An object whose deallocator fails.
struct FailingObject {
  PyObject_HEAD
};

void failing_dealloc(PyObject* self) noexcept {
  guarded_dealloc(self, [] { throw std::runtime_error("deallocation failed"); });
}

PyObject* probe_failing_object(PyObject*, PyObject*) noexcept {
  return guarded([] {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
      PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(&failing_dealloc)},
                             {0, nullptr}};
      PyType_Spec spec = {"_vantrel_guard_probe.FailingObject",
                          static_cast<int>(sizeof(FailingObject)), 0, Py_TPFLAGS_DEFAULT, slots};
      type = reinterpret_cast<PyTypeObject*>(check(PyType_FromSpec(&spec)).release());
    }
    return check(type->tp_alloc(type, 0));
  });
}

PyMethodDef g_probe_methods[] = {
    {"fail_with_text", probe_fail_with_text, METH_O, nullptr},
    {"fail_without_text", probe_fail_without_text, METH_NOARGS, nullptr},
    {"fail_with_value_error", probe_fail_with_value_error, METH_NOARGS, nullptr},
    {"fail_silently", probe_fail_silently, METH_NOARGS, nullptr},
    {"fail_on_worker", probe_fail_on_worker, METH_O, nullptr},
    {"parallel_squares", probe_parallel_squares, METH_O, nullptr},
    {"pool_size", probe_pool_size, METH_NOARGS, nullptr},
    {"fail_while_failing", probe_fail_while_failing, METH_NOARGS, nullptr},
    {"accept", probe_accept, METH_O, nullptr},
    {"convert_texts", probe_convert_texts, METH_O, nullptr},
    {"failing_object", probe_failing_object, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_probe_def = {
    PyModuleDef_HEAD_INIT, "_vantrel_guard_probe", "", 0, g_probe_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace vantrel

PyMODINIT_FUNC PyInit__vantrel_guard_probe(void) {
  return vantrel::guarded([] { return vantrel::check(PyModule_Create(&vantrel::g_probe_def)); });
}

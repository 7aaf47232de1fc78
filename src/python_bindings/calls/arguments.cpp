#include "calls/arguments.hpp"

#include "runtime/object_handles.hpp"
#include "runtime/object_lock.hpp"

namespace vantorix::python {

namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

// In the interpreter's words, which mention keyword-only arguments only when some were given.
void raise_too_many_positional(const Signature& signature, Py_ssize_t given,
                               Py_ssize_t keyword_only_given) {
    const std::size_t positional = signature.parameters.size() - signature.keyword_only;
    PyRef takes = PyRef::steal(
        signature.required == positional
            ? PyUnicode_FromFormat("%s takes %zu positional arguments", signature.full_name,
                                   positional)
            : PyUnicode_FromFormat("%s takes from %zu to %zu positional arguments",
                                   signature.full_name, signature.required, positional));
    if (!takes) {
        return;
    }
    if (keyword_only_given == 0) {
        PyErr_Format(PyExc_TypeError, "%U but %zd %s given", takes.get(), given,
                     was_or_were(given));
        return;
    }
    PyErr_Format(PyExc_TypeError,
                 "%U but %zd positional argument%s (and %zd keyword-only argument%s) were given",
                 takes.get(), given, given == 1 ? "" : "s", keyword_only_given,
                 keyword_only_given == 1 ? "" : "s");
}

// How many of the keyword arguments name keyword-only parameters.
Py_ssize_t count_keyword_only(const Signature& signature, PyObject* kwnames) {
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    const std::size_t positional = signature.parameters.size() - signature.keyword_only;
    Py_ssize_t count = 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        const char* const* name = signature.parameters.begin() + positional;
        for (; name != signature.parameters.end(); ++name) {
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), *name) == 0) {
                ++count;
                break;
            }
        }
    }
    return count;
}

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'".
std::string quoted_list(const std::string* names, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            text += (i + 1 == count) ? (count > 2 ? ", and " : " and ") : ", ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

// The qualified name of the type of `object`, or "<failed to extract type name>" when it cannot
// be read as text. Null only when no `str` can be made.
PyRef type_name_of(PyObject* object) {
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        return qualname;
    }
    PyErr_Clear();
    return PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
}

} // namespace

bool read_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** values) {
    const std::size_t total = signature.parameters.size();
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(given) > total - signature.keyword_only) {
        raise_too_many_positional(signature, given, count_keyword_only(signature, kwnames));
        return false;
    }
    const char* const* names = signature.parameters.begin();
    for (std::size_t i = 0; i < total; ++i) {
        values[i] =
            static_cast<std::size_t>(i) < static_cast<std::size_t>(given) ? args[i] : nullptr;
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = total;
        for (std::size_t i = 0; i < total; ++i) {
            if (PyUnicode_CompareWithASCIIString(keyword, names[i]) == 0) {
                match = i;
                break;
            }
        }
        if (match == total) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         signature.full_name, keyword);
            return false;
        }
        if (values[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.full_name, names[match]);
            return false;
        }
        values[match] = args[given + k];
    }
    std::string missing[8];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required && i < total; ++i) {
        if (values[i] == nullptr && missing_count < 8) {
            missing[missing_count++] = names[i];
        }
    }
    if (missing_count > 0) {
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                     signature.full_name, missing_count,
                     missing_count == 1 ? "argument" : "arguments",
                     quoted_list(missing, missing_count).c_str());
        return false;
    }
    return true;
}

bool reject_all_arguments(const char* full_name, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    if (given > 0) {
        PyErr_Format(PyExc_TypeError, "%s takes 0 positional arguments but %zd %s given",
                     full_name, given, was_or_were(given));
        return false;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &position, &keyword, &value);
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", full_name,
                     keyword);
        return false;
    }
    return true;
}

void raise_conversion_error(PyObject* object, const char* target) {
    PyRef name = type_name_of(object);
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                     target);
    }
}

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    const FetchedError old = FetchedError::take();
    PyRef message = PyRef::steal(old.value ? PyObject_Str(old.value.get()) : nullptr);
    if (!message) {
        PyErr_Clear();
        message = PyRef::steal(PyUnicode_FromString(""));
    }
    PyRef text = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
    if (!text) {
        return;
    }
    PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, text.get()));
    if (!replacement) {
        return;
    }
    if (old.value) {
        // PyException_SetCause steals; the cause may be null.
        PyException_SetCause(replacement.get(), PyException_GetCause(old.value.get()));
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool read_bool(PyObject* object, const char* name, bool& value) {
    if (object == nullptr) {
        return true;
    }
    if (!PyBool_Check(object)) {
        raise_conversion_error(object, "PyBool");
        prefix_argument_error(name);
        return false;
    }
    value = object == Py_True;
    return true;
}

bool read_run_mode(PyObject* parallel, PyObject* max_threads, RunMode& mode) {
    if (!read_bool(parallel, "parallel", mode.parallel)) {
        return false;
    }
    if (max_threads != nullptr && max_threads != Py_None) {
        PyRef index = PyRef::steal(PyNumber_Index(max_threads));
        if (!index) {
            prefix_argument_error("max_threads");
            return false;
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            return false;
        }
        mode.max_threads = static_cast<std::size_t>(value);
    }
    return true;
}

std::optional<Context> read_context(PyObject* object) {
    Context context;
    if (object == nullptr || object == Py_None) {
        return context;
    }
    if (!PyDict_Check(object)) {
        raise_conversion_error(object, "PyDict");
        return std::nullopt;
    }
    // Another thread may change the dict meanwhile (free-threaded interpreter): it waits.
    const ObjectLock lock(object);
    context.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object)));
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(object, &position, &key, &value)) {
        std::optional<std::string> name = read_text(key);
        if (!name) {
            return std::nullopt;
        }
        context.insert(std::move(*name), wrap_object(value));
    }
    return context;
}

bool check_callable(PyObject* object) {
    if (PyCallable_Check(object)) {
        return true;
    }
    PyRef name = type_name_of(object);
    if (name) {
        PyErr_Format(PyExc_TypeError, "'%U' object is not callable", name.get());
    }
    return false;
}

std::optional<std::string> read_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_conversion_error(object, "PyString");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string(data, static_cast<std::size_t>(size));
}

} // namespace vantorix::python

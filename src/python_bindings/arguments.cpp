#include "arguments.hpp"

namespace vantorix::python {

namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t total = signature.parameters.size();
    if (signature.required == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     signature.full_name, total, given, was_or_were(given));
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given",
                     signature.full_name, signature.required, total, given, was_or_were(given));
    }
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

} // namespace

bool read_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
    const std::size_t total = signature.parameters.size();
    const Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (static_cast<std::size_t>(given) > total) {
        raise_too_many_positional(signature, given);
        return false;
    }
    const char* const* names = signature.parameters.begin();
    for (std::size_t i = 0; i < total; ++i) {
        slots[i] =
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
        if (slots[match] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                         signature.full_name, names[match]);
            return false;
        }
        slots[match] = args[given + k];
    }
    std::string missing[8];
    std::size_t missing_count = 0;
    for (std::size_t i = 0; i < signature.required && i < total; ++i) {
        if (slots[i] == nullptr && missing_count < 8) {
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
    PyRef qualname = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (qualname && PyUnicode_Check(qualname.get())) {
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                     target);
        return;
    }
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "'<failed to extract type name>' object cannot be converted to '%s'", target);
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

Borrow::Borrow(Py_ssize_t& counter, Kind kind) : kind_(kind) {
    if (kind == Kind::Exclusive) {
        if (counter != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return;
        }
        counter = -1;
    } else {
        if (counter == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return;
        }
        ++counter;
    }
    counter_ = &counter;
}

Borrow::~Borrow() {
    if (counter_ == nullptr) {
        return;
    }
    if (kind_ == Kind::Exclusive) {
        *counter_ = 0;
    } else {
        --*counter_;
    }
}

} // namespace vantorix::python

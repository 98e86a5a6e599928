// Argument binding: the rules a Python function applies, spelled out.
#include "arguments.hpp"

namespace quillmore::py {
namespace {

void countError(const char* name, const char* qualifier, Py_ssize_t meant, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name, qualifier,
                 meant, meant == 1 ? "" : "s", given);
}

bool sameName(PyObject* keyword, PyObject* name) {
    if (keyword == name) return true;
    return PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0;
}

// Index of the keyword called `name`: by identity first (keywords spelled
// as literals arrive as the interned strings), then by equal strings.
Py_ssize_t findKeyword(PyObject* kwnames, PyObject* name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
    }
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0) return k;
    }
    return -1;
}

// The first keyword that fits no parameter decides the error.  Keywords that
// name a parameter not filled by position were taken already.
void leftoverKeywordError(const Signature& sig, Py_ssize_t nargs, PyObject* kwnames) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        bool fitsOpen = false;
        for (Py_ssize_t j = nargs; j < sig.count && !fitsOpen; ++j) fitsOpen = keyword == sig.names[j];
        if (fitsOpen) continue;
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return;
        }
        for (Py_ssize_t j = nargs; j < sig.count && !fitsOpen; ++j) fitsOpen = sameName(keyword, sig.names[j]);
        if (fitsOpen) continue;
        for (Py_ssize_t j = 0; j < nargs; ++j) {
            if (sameName(keyword, sig.names[j])) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, keyword);
                return;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, keyword);
        return;
    }
}

}  // namespace

bool bindArguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** bound) {
    if (nargs > sig.count) {
        countError(sig.name, sig.optionalTail ? "at most" : "exactly", sig.count, nargs);
        return false;
    }
    for (Py_ssize_t j = 0; j < nargs; ++j) bound[j] = args[j];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (keywords == 0) {
        if (sig.optionalTail) {
            if (nargs < 1) {
                countError(sig.name, "at least", 1, 0);
                return false;
            }
            for (Py_ssize_t j = nargs; j < sig.count; ++j) bound[j] = Py_None;
            return true;
        }
        if (nargs != sig.count) {
            countError(sig.name, "exactly", sig.count, nargs);
            return false;
        }
        return true;
    }

    Py_ssize_t taken = 0;
    for (Py_ssize_t j = nargs; j < sig.count; ++j) {
        if (sig.optionalTail && j > 0 && taken == keywords) {
            bound[j] = Py_None;  // no keyword left to look at
            continue;
        }
        const Py_ssize_t k = findKeyword(kwnames, sig.names[j]);
        if (k >= 0) {
            bound[j] = args[nargs + k];
            ++taken;
        } else if (j == 0) {
            if (sig.optionalTail) {
                countError(sig.name, "at least", 1, 0);
            } else {
                countError(sig.name, "exactly", sig.count, 0);
            }
            return false;
        } else if (!sig.optionalTail) {
            countError(sig.name, "exactly", sig.count, j);
            return false;
        } else {
            bound[j] = Py_None;
        }
    }
    if (taken < keywords) {
        leftoverKeywordError(sig, nargs, kwnames);
        if (PyErr_Occurred()) return false;
    }
    return true;
}

}  // namespace quillmore::py

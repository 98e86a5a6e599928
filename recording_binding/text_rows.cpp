// format_rows(): rows as CSV or JSON Lines text, straight from the arrays.
//
//   format_rows(fmt, tables, order) -> str
//
//   fmt     "csv" or "jsonl"
//   tables  a sequence of tables, each a sequence of columns of equal length;
//           a column is (key, code, data):
//             "i"  data: native int64, each written as a decimal integer
//             "f"  data: native float64, written as Python's repr() writes
//                  it (NaN as an empty cell, JSON null)
//             "s"  data: native int8 codes, written as the names in `key`
//                  (a tuple of str; the JSON key is the column's name, given
//                  as key[-1])
//             "c"  data: a str written in every row (a constant cell; ""
//                  is an empty cell)
//           `key` is the JSON key (ignored for CSV).
//   order   None for one table, else native int8 table numbers, one per
//           row of the output: the next row of that table comes next.
//
// The text is what the csv module (default dialect, "\n" line ends) and
// json.dumps(..., separators=(", ", ": ")) write for the same values: the
// writers in quillmore/rows_text.py hand whole parts here instead of one
// call per row.  Cells never need quoting: names and numbers only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "text_rows.hpp"

namespace quillmore::recording {
namespace {

enum class Code : char { Int = 'i', Float = 'f', Status = 's', Constant = 'c' };

struct Column {
    Code code;
    std::string jsonKey;             // "\"name\": "
    Py_buffer data{};                // Int, Float, Status
    bool hasData = false;
    std::string constant;            // Constant (already quoted for JSON)
    std::vector<std::string> names;  // Status (already quoted for JSON)
};

struct Table {
    std::vector<Column> columns;
    Py_ssize_t rows = 0;
    Py_ssize_t next = 0;
};

// Releases every buffer a table holds.
struct Tables {
    std::vector<Table> all;
    ~Tables() {
        for (Table& t : all)
            for (Column& c : t.columns)
                if (c.hasData) PyBuffer_Release(&c.data);
    }
};

void appendInt(std::string& out, std::int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// repr() of a double.  Stream times are whole raw-sample periods (n / 512),
// whose decimal expansion has at most nine places: below 2^20 seconds no
// shorter decimal lies within half a unit in the last place, so that
// expansion is exactly what repr() writes, and it is written here without
// the general algorithm.  Anything else goes to the interpreter's own.
bool appendRepr(std::string& out, double value) {
    if (value >= 0.0 && value < 1048576.0) {
        const double periods = value * 512.0;
        if (periods == std::floor(periods)) {
            const auto n = static_cast<std::uint64_t>(periods);
            appendInt(out, static_cast<std::int64_t>(n >> 9));
            out += '.';
            std::uint64_t fraction = (n & 511u) * 1953125u;  // nine decimal places
            if (fraction == 0) {
                out += '0';
                return true;
            }
            char places[9];
            for (int k = 8; k >= 0; --k) {
                places[k] = static_cast<char>('0' + fraction % 10);
                fraction /= 10;
            }
            int used = 9;
            while (places[used - 1] == '0') --used;
            out.append(places, static_cast<std::size_t>(used));
            return true;
        }
    }
    char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return false;
    out += text;
    PyMem_Free(text);
    return true;
}

std::string jsonString(const char* text) {
    std::string s = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') s += '\\';
        s += *p;
    }
    return s + "\"";
}

const char* utf8(PyObject* text, const char* what) {
    const char* s = PyUnicode_Check(text) ? PyUnicode_AsUTF8(text) : nullptr;
    if (s == nullptr && !PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "format_rows(): %s must be str", what);
    return s;
}

// Reads one column description; the table keeps what it needs.
bool readColumn(PyObject* item, bool json, Table& table) {
    PyObject* key = nullptr;
    const char* code = nullptr;
    PyObject* data = nullptr;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "OsO:format_rows", &key, &code, &data)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "format_rows(): a column is (key, code, data)");
        return false;
    }
    Column column;
    column.code = static_cast<Code>(code[0]);
    if (std::strlen(code) != 1) column.code = Code{};
    PyObject* name = key;
    if (column.code == Code::Status) {
        if (!PyTuple_Check(key) || PyTuple_GET_SIZE(key) < 2) {
            PyErr_SetString(PyExc_TypeError, "format_rows(): a status column's key is (names..., key)");
            return false;
        }
        const Py_ssize_t n = PyTuple_GET_SIZE(key) - 1;
        for (Py_ssize_t k = 0; k < n; ++k) {
            const char* s = utf8(PyTuple_GET_ITEM(key, k), "a status name");
            if (s == nullptr) return false;
            column.names.push_back(json ? jsonString(s) : std::string(s));
        }
        name = PyTuple_GET_ITEM(key, n);
    }
    if (json) {
        const char* s = utf8(name, "a key");
        if (s == nullptr) return false;
        column.jsonKey = jsonString(s) + ": ";
    }
    Py_ssize_t rows = -1;
    std::size_t itemSize = 0;
    switch (column.code) {
    case Code::Int: itemSize = sizeof(std::int64_t); break;
    case Code::Float: itemSize = sizeof(double); break;
    case Code::Status: itemSize = sizeof(std::int8_t); break;
    case Code::Constant: {
        const char* s = utf8(data, "a constant cell");
        if (s == nullptr) return false;
        column.constant = json ? jsonString(s) : std::string(s);
        break;
    }
    default:
        PyErr_Format(PyExc_ValueError, "format_rows(): unknown column code %R", PyTuple_GET_ITEM(item, 1));
        return false;
    }
    if (itemSize != 0) {
        if (PyObject_GetBuffer(data, &column.data, PyBUF_SIMPLE) != 0) return false;
        column.hasData = true;
        if (column.data.len % static_cast<Py_ssize_t>(itemSize) != 0) {
            table.columns.push_back(std::move(column));
            PyErr_SetString(PyExc_ValueError, "format_rows(): a column's buffer is not a whole number of items");
            return false;
        }
        rows = column.data.len / static_cast<Py_ssize_t>(itemSize);
    }
    table.columns.push_back(std::move(column));
    if (rows >= 0) {
        if (table.rows >= 0 && table.rows != rows) {
            PyErr_SetString(PyExc_ValueError, "format_rows(): the columns of a table differ in length");
            return false;
        }
        table.rows = rows;
    }
    return true;
}

// Neighbouring constant cells of a CSV row, such as the empty cells of the
// other kinds in a shared table, become one cell holding them and their
// commas.
void mergeConstants(Table& table) {
    std::vector<Column> merged;
    for (Column& c : table.columns) {
        if (c.code == Code::Constant && !merged.empty() && merged.back().code == Code::Constant) {
            merged.back().constant += ',';
            merged.back().constant += c.constant;
        } else {
            merged.push_back(std::move(c));
        }
    }
    table.columns = std::move(merged);
}

bool appendRow(std::string& out, Table& table, bool json) {
    const Py_ssize_t row = table.next++;
    if (json) out += '{';
    bool first = true;
    for (const Column& c : table.columns) {
        if (!first) out += json ? ", " : ",";
        first = false;
        if (json) out += c.jsonKey;
        switch (c.code) {
        case Code::Int:
            appendInt(out, static_cast<const std::int64_t*>(c.data.buf)[row]);
            break;
        case Code::Float: {
            const double value = static_cast<const double*>(c.data.buf)[row];
            if (std::isnan(value)) {
                if (json) out += "null";
            } else if (!appendRepr(out, value)) {
                return false;
            }
            break;
        }
        case Code::Status: {
            const int status = static_cast<const std::int8_t*>(c.data.buf)[row];
            if (status < 0 || static_cast<std::size_t>(status) >= c.names.size()) {
                PyErr_Format(PyExc_ValueError, "format_rows(): status %d has no name", status);
                return false;
            }
            out += c.names[static_cast<std::size_t>(status)];
            break;
        }
        case Code::Constant:
            out += c.constant;
            break;
        }
    }
    out += json ? "}\n" : "\n";
    return true;
}

}  // namespace

PyObject* formatRows(PyObject* /*module*/, PyObject* args) {
    const char* fmt = nullptr;
    PyObject* tableList = nullptr;
    PyObject* orderObject = nullptr;
    if (!PyArg_ParseTuple(args, "sOO:format_rows", &fmt, &tableList, &orderObject)) return nullptr;
    const bool json = std::strcmp(fmt, "jsonl") == 0;
    if (!json && std::strcmp(fmt, "csv") != 0) {
        PyErr_SetString(PyExc_ValueError, "format_rows(): the format is 'csv' or 'jsonl'");
        return nullptr;
    }
    // Strong references to the sequences: reading them can run Python code.
    PyObject* tablesSeq = PySequence_Fast(tableList, "format_rows(): tables must be a sequence");
    if (tablesSeq == nullptr) return nullptr;
    Tables tables;
    bool ok = true;
    for (Py_ssize_t t = 0; ok && t < PySequence_Fast_GET_SIZE(tablesSeq); ++t) {
        PyObject* columns = PySequence_Fast(PySequence_Fast_GET_ITEM(tablesSeq, t),
                                            "format_rows(): a table must be a sequence of columns");
        if (columns == nullptr) {
            ok = false;
            break;
        }
        tables.all.emplace_back();
        tables.all.back().rows = -1;
        for (Py_ssize_t c = 0; ok && c < PySequence_Fast_GET_SIZE(columns); ++c)
            ok = readColumn(PySequence_Fast_GET_ITEM(columns, c), json, tables.all.back());
        Py_DECREF(columns);
        if (ok && tables.all.back().rows < 0) tables.all.back().rows = 0;
        if (ok && !json) mergeConstants(tables.all.back());
    }
    Py_DECREF(tablesSeq);
    if (!ok) return nullptr;

    Py_buffer order{};
    const bool ordered = orderObject != Py_None;
    if (ordered) {
        if (PyObject_GetBuffer(orderObject, &order, PyBUF_SIMPLE) != 0) return nullptr;
    } else if (tables.all.size() > 1) {
        PyErr_SetString(PyExc_ValueError, "format_rows(): several tables need an order");
        return nullptr;
    }
    // Every row of every table exactly once.
    Py_ssize_t total = 0;
    for (const Table& t : tables.all) total += t.rows;
    if (ordered) {
        std::vector<Py_ssize_t> counts(tables.all.size(), 0);
        const auto* ids = static_cast<const std::int8_t*>(order.buf);
        bool fits = order.len == total;
        for (Py_ssize_t k = 0; fits && k < order.len; ++k) {
            fits = ids[k] >= 0 && static_cast<std::size_t>(ids[k]) < tables.all.size();
            if (fits) ++counts[static_cast<std::size_t>(ids[k])];
        }
        for (std::size_t t = 0; fits && t < tables.all.size(); ++t) fits = counts[t] == tables.all[t].rows;
        if (!fits) {
            PyBuffer_Release(&order);
            PyErr_SetString(PyExc_ValueError, "format_rows(): the order must name each row of each table once");
            return nullptr;
        }
    }
    std::string out;
    try {
        std::size_t estimate = 0;
        for (const Table& t : tables.all) estimate += static_cast<std::size_t>(t.rows) * (8 + 14 * t.columns.size());
        out.reserve(estimate);
        if (ordered) {
            const auto* ids = static_cast<const std::int8_t*>(order.buf);
            for (Py_ssize_t k = 0; ok && k < order.len; ++k)
                ok = appendRow(out, tables.all[static_cast<std::size_t>(ids[k])], json);
        } else if (!tables.all.empty()) {
            for (Py_ssize_t k = 0; ok && k < tables.all[0].rows; ++k) ok = appendRow(out, tables.all[0], json);
        }
    } catch (const std::bad_alloc&) {
        if (ordered) PyBuffer_Release(&order);
        return PyErr_NoMemory();
    }
    if (ordered) PyBuffer_Release(&order);
    if (!ok) return nullptr;
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127);
    if (text == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(text), out.data(), out.size());
    return text;
}

}  // namespace quillmore::recording

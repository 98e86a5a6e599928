// The method function type.  See function_type.hpp for the contract.
#include "function_type.hpp"

#include <structmember.h>

#include <cstddef>

#include "module_globals.hpp"
#include "traceback.hpp"

namespace quillmore::py {
namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* defaults;  // tuple or None
    PyObject* globals;
    PyObject* code;
};

constexpr Py_ssize_t kMaxParameters = 6;

// ------------------------------------------------------------------ calling

PyObject* functionVectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const MethodDef* def = reinterpret_cast<FunctionObject*>(callable)->def;
    PyObject* bound[kMaxParameters];
    if (!bindArguments(def->signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        addTraceback(def->tracebackName, def->line);
        return nullptr;
    }
    // Callbacks may call back into the parser; native recursion must hit the
    // interpreter's limit rather than the end of the C stack.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    int line = def->line;
    PyObject* result = def->body(bound, &line);
    Py_LeaveRecursiveCall();
    if (result == nullptr) addTraceback(def->tracebackName, line);
    return result;
}

// Bound to an instance like a function defined in a class body.
PyObject* functionDescrGet(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

// ------------------------------------------------------------------ attributes

PyObject* getNone(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* functionRepr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<FunctionObject*>(self)->qualname, self);
}

PyMemberDef functionMembers[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(FunctionObject, defaults), READONLY, nullptr},
    {"__globals__", T_OBJECT, offsetof(FunctionObject, globals), READONLY, nullptr},
    {"__code__", T_OBJECT, offsetof(FunctionObject, code), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef functionGetSet[] = {
    {"__doc__", getNone, nullptr, nullptr, nullptr},
    {"__kwdefaults__", getNone, nullptr, nullptr, nullptr},
    {"__annotations__", getNone, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------ lifetime

int functionTraverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    return 0;
}

int functionClear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->code);
    return 0;
}

void functionDealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    functionClear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyType_Slot functionSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(functionDealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(functionRepr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(functionTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(functionClear)},
    {Py_tp_members, functionMembers},
    {Py_tp_getset, functionGetSet},
    {Py_tp_descr_get, reinterpret_cast<void*>(functionDescrGet)},
    {0, nullptr},
};

PyType_Spec functionSpec = {
    "quillmore_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE,
    functionSlots,
};

// The code object of `def`: compile its def statement in a file named after
// the module and take the function's code, placed at the definition's line
// and given the method's qualified name.
PyObject* makeCode(const MethodDef* def) {
    PyObject* moduleCode = Py_CompileString(def->source, "QuillmoreParser", Py_file_input);
    if (moduleCode == nullptr) return nullptr;
    PyObject* consts = PyObject_GetAttrString(moduleCode, "co_consts");
    Py_DECREF(moduleCode);
    if (consts == nullptr) return nullptr;
    PyObject* code = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts) && code == nullptr; ++i) {
        if (PyCode_Check(PyTuple_GET_ITEM(consts, i))) code = PyTuple_GET_ITEM(consts, i);
    }
    if (code == nullptr) {
        Py_DECREF(consts);
        PyErr_SetString(PyExc_SystemError, "method source holds no function");
        return nullptr;
    }
    PyObject* replace = PyObject_GetAttrString(code, "replace");
    Py_DECREF(consts);
    if (replace == nullptr) return nullptr;
    PyObject* empty = PyTuple_New(0);
    PyObject* changes = Py_BuildValue("{s:i,s:s}", "co_firstlineno", def->line, "co_qualname", def->qualname);
    PyObject* result = nullptr;
    if (empty != nullptr && changes != nullptr) result = PyObject_Call(replace, empty, changes);
    Py_XDECREF(changes);
    Py_XDECREF(empty);
    Py_DECREF(replace);
    return result;
}

}  // namespace

int readyFunctionType() {
    if (g.functionType != nullptr) return 0;
    g.functionType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&functionSpec));
    return g.functionType != nullptr ? 0 : -1;
}

PyObject* newFunction(const MethodDef* def, PyObject* defaults, PyObject* globals) {
    PyObject* code = makeCode(def);
    if (code == nullptr) return nullptr;
    auto* f = PyObject_GC_New(FunctionObject, g.functionType);
    if (f == nullptr) {
        Py_DECREF(code);
        return nullptr;
    }
    f->vectorcall = functionVectorcall;
    f->def = def;
    f->code = code;
    f->name = PyObject_GetAttrString(code, "co_name");
    f->qualname = PyUnicode_FromString(def->qualname);
    f->module = PyUnicode_InternFromString("QuillmoreParser");
    f->defaults = Py_NewRef(defaults != nullptr ? defaults : Py_None);
    f->globals = Py_NewRef(globals);
    PyObject_GC_Track(f);
    if (f->name == nullptr || f->qualname == nullptr || f->module == nullptr) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

}  // namespace quillmore::py

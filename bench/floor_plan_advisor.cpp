// The least work any implementation of analyze_batch must do to return the
// same objects: for each node one read of each attribute it needs, the two
// sets, the source ids built from pairs, the connection of each id from a
// ready-made dict, a reason text and the result record with its six fields,
// stored in the result dict under the node's unique_id. No entry checks, no
// method calls, no presence tests, no repeated reads, no reason variants.
// Built and run by bench_plan_advisor.py --floor; not part of the package.
#include <Python.h>

#include <cstring>

namespace {

struct Owned {
    PyObject* p;
    explicit Owned(PyObject* o) : p(o) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(p); }
    explicit operator bool() const { return p != nullptr; }
};

// The concatenation of 1-byte-kind texts.
PyObject* concat(PyObject* const* parts, int n) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0;
    for (int i = 0; i < n; ++i) {
        if (!PyUnicode_Check(parts[i]) || PyUnicode_KIND(parts[i]) != PyUnicode_1BYTE_KIND) {
            PyErr_SetString(PyExc_ValueError, "floor: only one-byte texts");
            return nullptr;
        }
        length += PyUnicode_GET_LENGTH(parts[i]);
        if (PyUnicode_MAX_CHAR_VALUE(parts[i]) > maxchar) maxchar = PyUnicode_MAX_CHAR_VALUE(parts[i]);
    }
    PyObject* out = PyUnicode_New(length, maxchar);
    if (out == nullptr) return nullptr;
    Py_ssize_t at = 0;
    for (int i = 0; i < n; ++i) {
        const Py_ssize_t k = PyUnicode_GET_LENGTH(parts[i]);
        std::memcpy(PyUnicode_1BYTE_DATA(out) + at, PyUnicode_1BYTE_DATA(parts[i]), static_cast<size_t>(k));
        at += k;
    }
    return out;
}

// One node's result record; a new reference or nullptr with an exception.
PyObject* analyze(PyObject* node, PyObject* connections_by_id, PyTypeObject* record_type, PyObject* const* names) {
    static PyObject* n_resource_type = PyUnicode_InternFromString("resource_type");
    static PyObject* n_sources = PyUnicode_InternFromString("sources");
    static PyObject* n_package_name = PyUnicode_InternFromString("package_name");
    static PyObject* prefix = PyUnicode_InternFromString("source.");
    static PyObject* dot = PyUnicode_InternFromString(".");
    static PyObject* head = PyUnicode_InternFromString("All sources in target '");
    static PyObject* tail = PyUnicode_InternFromString("' - pushdown");
    static PyObject* pushdown = PyUnicode_InternFromString("pushdown");

    Owned resource_type(PyObject_GetAttr(node, n_resource_type));
    if (!resource_type) return nullptr;
    Owned refs(PySet_New(nullptr));
    Owned connections(PySet_New(nullptr));
    if (!refs || !connections) return nullptr;
    Owned sources(PyObject_GetAttr(node, n_sources));
    if (!sources) return nullptr;
    if (PyList_Check(sources.p)) {
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(sources.p); ++j) {
            PyObject* entry = PyList_GET_ITEM(sources.p, j);
            if (PyUnicode_Check(entry)) {
                if (PySet_Add(refs.p, entry) < 0) return nullptr;
            } else if (PyList_Check(entry) && PyList_GET_SIZE(entry) == 2) {
                Owned package(PyObject_GetAttr(node, n_package_name));
                if (!package) return nullptr;
                PyObject* parts[] = {prefix, package.p, dot, PyList_GET_ITEM(entry, 0), dot, PyList_GET_ITEM(entry, 1)};
                Owned id(concat(parts, 6));
                if (!id || PySet_Add(refs.p, id.p) < 0) return nullptr;
            }
        }
    }
    Owned it(PyObject_GetIter(refs.p));
    if (!it) return nullptr;
    while (PyObject* raw = PyIter_Next(it.p)) {
        Owned id(raw);
        PyObject* connection = PyDict_GetItemWithError(connections_by_id, id.p);
        if (connection != nullptr && connection != Py_None && PySet_Add(connections.p, connection) < 0) return nullptr;
        if (connection == nullptr && PyErr_Occurred()) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;

    Owned reason(Py_NewRef(head));
    if (PySet_GET_SIZE(connections.p) > 0) {
        Owned it2(PyObject_GetIter(connections.p));
        if (!it2) return nullptr;
        Owned one(PyIter_Next(it2.p));
        if (!one) return nullptr;
        PyObject* parts[] = {head, one.p, tail};
        Py_SETREF(reason.p, concat(parts, 3));
        if (!reason) return nullptr;
    }
    Owned record(record_type->tp_alloc(record_type, 0));
    if (!record) return nullptr;
    PyObject* values[] = {connections.p, refs.p, pushdown, Py_None, reason.p, Py_None};
    for (int k = 0; k < 6; ++k)
        if (PyObject_GenericSetAttr(record.p, names[k], values[k]) < 0) return nullptr;
    return Py_NewRef(record.p);
}

// run(nodes, connections_by_id, record_type) -> {unique_id: record}
PyObject* run(PyObject*, PyObject* args) {
    PyObject *nodes, *connections_by_id, *record_type;
    if (!PyArg_ParseTuple(args, "O!O!O!", &PyList_Type, &nodes, &PyDict_Type, &connections_by_id, &PyType_Type,
                          &record_type))
        return nullptr;
    static PyObject* n_unique_id = PyUnicode_InternFromString("unique_id");
    static PyObject* names[] = {
        PyUnicode_InternFromString("source_connections"), PyUnicode_InternFromString("source_refs"),
        PyUnicode_InternFromString("strategy"), PyUnicode_InternFromString("primary_connection"),
        PyUnicode_InternFromString("reason"), PyUnicode_InternFromString("user_override"),
    };
    Owned results(PyDict_New());
    if (!results) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes); ++i) {
        PyObject* node = PyList_GET_ITEM(nodes, i);
        Owned record(analyze(node, connections_by_id, reinterpret_cast<PyTypeObject*>(record_type), names));
        if (!record) return nullptr;
        Owned id(PyObject_GetAttr(node, n_unique_id));
        if (!id || PyDict_SetItem(results.p, id.p, record.p) < 0) return nullptr;
        // The same cadence of signal checks (and with them collections) as
        // the module's own batch.
        if ((i & 32767) == 32767 && PyErr_CheckSignals() < 0) return nullptr;
    }
    return Py_NewRef(results.p);
}

PyMethodDef methods[] = {
    {"run", run, METH_VARARGS, "run(nodes, connections_by_id, record_type) -> {unique_id: record}"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "floor_plan_advisor", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit_floor_plan_advisor() { return PyModule_Create(&module); }

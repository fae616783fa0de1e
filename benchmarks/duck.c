/* duck.c: a tensor stand-in whose every method and operator returns at once,
 * in C, so that timing the loss bodies with it leaves only the frame: binding,
 * global and attribute lookups, and the calls themselves. Benchmark use only. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
    PyObject_HEAD
    PyObject *shape; /* what size() returns */
} Duck;

static PyTypeObject DuckType = {PyVarObject_HEAD_INIT(NULL, 0)};

#define DUCK(o) ((Duck *)(o))

/* Any arguments, any keywords: the duck itself. */
static PyObject *duck_self(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    (void)args;
    (void)nargs;
    (void)kwnames;
    Py_INCREF(self);
    return self;
}

/* size() is the shape; size(d) one dimension of it. */
static PyObject *duck_size(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    PyObject *shape = DUCK(self)->shape;
    if (nargs == 0) {
        Py_INCREF(shape);
        return shape;
    }
    return PyObject_GetItem(shape, args[0]);
}

static PyObject *duck_other(PyObject *a, PyObject *b) {
    PyObject *duck = PyObject_TypeCheck(a, &DuckType) ? a : b;
    Py_INCREF(duck);
    return duck;
}

static PyObject *duck_pow(PyObject *a, PyObject *b, PyObject *mod) {
    (void)mod;
    return duck_other(a, b);
}

static PyObject *duck_unary(PyObject *self) {
    Py_INCREF(self);
    return self;
}

static int duck_bool(PyObject *self) {
    (void)self;
    return 1;
}

static PyObject *duck_compare(PyObject *self, PyObject *other, int op) {
    (void)other;
    (void)op;
    Py_INCREF(self);
    return self;
}

static PyObject *duck_getitem(PyObject *self, PyObject *key) {
    (void)key;
    Py_INCREF(self);
    return self;
}

static int duck_setitem(PyObject *self, PyObject *key, PyObject *value) {
    (void)self;
    (void)key;
    (void)value;
    return 0;
}

static PyObject *duck_get_self(PyObject *self, void *closure) {
    (void)closure;
    Py_INCREF(self);
    return self;
}

static PyObject *duck_get_none(PyObject *self, void *closure) {
    (void)self;
    (void)closure;
    Py_RETURN_NONE;
}

static PyObject *duck_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *shape;
    if (!PyArg_ParseTuple(args, "O!:Duck", &PyTuple_Type, &shape)) return NULL;
    (void)kwargs;
    Duck *self = (Duck *)type->tp_alloc(type, 0);
    if (!self) return NULL;
    Py_INCREF(shape);
    self->shape = shape;
    return (PyObject *)self;
}

static void duck_dealloc(PyObject *self) {
    Py_XDECREF(DUCK(self)->shape);
    Py_TYPE(self)->tp_free(self);
}

#define DUCK_METHOD(name) {name, (PyCFunction)(void (*)(void))duck_self, METH_FASTCALL | METH_KEYWORDS, NULL}

static PyMethodDef duck_methods[] = {
    {"size", (PyCFunction)(void (*)(void))duck_size, METH_FASTCALL, NULL},
    DUCK_METHOD("call"),  /* bound, it stands in for the functions of `torch` */
    DUCK_METHOD("sum"),
    DUCK_METHOD("expand"),
    DUCK_METHOD("view"),
    DUCK_METHOD("t"),
    DUCK_METHOD("float"),
    DUCK_METHOD("unsqueeze"),
    DUCK_METHOD("repeat"),
    DUCK_METHOD("mul"),
    DUCK_METHOD("to"),
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef duck_getset[] = {
    {"data", duck_get_self, NULL, NULL, NULL},
    {"device", duck_get_none, NULL, NULL, NULL},
    {"dtype", duck_get_none, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

static PyNumberMethods duck_number;
static PyMappingMethods duck_mapping;

static int duck_ready(void) {
    duck_number.nb_add = duck_other;
    duck_number.nb_subtract = duck_other;
    duck_number.nb_multiply = duck_other;
    duck_number.nb_true_divide = duck_other;
    duck_number.nb_inplace_true_divide = duck_other;
    duck_number.nb_power = duck_pow;
    duck_number.nb_negative = duck_unary;
    duck_number.nb_bool = duck_bool;
    duck_mapping.mp_subscript = duck_getitem;
    duck_mapping.mp_ass_subscript = duck_setitem;

    DuckType.tp_name = "duck.Duck";
    DuckType.tp_basicsize = sizeof(Duck);
    DuckType.tp_flags = Py_TPFLAGS_DEFAULT;
    DuckType.tp_new = duck_new;
    DuckType.tp_dealloc = duck_dealloc;
    DuckType.tp_as_number = &duck_number;
    DuckType.tp_as_mapping = &duck_mapping;
    DuckType.tp_richcompare = duck_compare;
    DuckType.tp_hash = PyBaseObject_Type.tp_hash;
    DuckType.tp_methods = duck_methods;
    DuckType.tp_getset = duck_getset;
    return PyType_Ready(&DuckType);
}

static struct PyModuleDef duck_module = {PyModuleDef_HEAD_INIT, "duck", NULL, -1, NULL, NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_duck(void) {
    if (duck_ready() < 0) return NULL;
    PyObject *module = PyModule_Create(&duck_module);
    if (!module) return NULL;
    Py_INCREF(&DuckType);
    if (PyModule_AddObject(module, "Duck", (PyObject *)&DuckType) < 0) {
        Py_DECREF(&DuckType);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}

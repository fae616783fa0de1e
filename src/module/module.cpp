// module.cpp: the module definition, its create step and its exec step (the body of "loss.py").
#include "calls/function.h"
#include "calls/ops.h"
#include "compat.h"
#include "state.h"
#include "module/functions.h"
#include "module/version.h"

namespace loss {

namespace {

constexpr int kCodeFlags = CO_OPTIMIZED | CO_NEWLOCALS;

// ---- create step ----------------------------------------------------------

struct SpecCopy {
    const char *spec_attr;
    const char *module_attr;
    bool copy_none;
};

constexpr SpecCopy kSpecCopies[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;  // the query's own error
    if (S.first_interpreter != -1 && S.first_interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    // torch cannot be imported into a subinterpreter, and objects made there would
    // outlive it in the process-wide state: refuse before anything is made.
    if (S.first_interpreter == -1 && PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "loss can only be imported into the main interpreter: it and torch do not work in "
                        "subinterpreters.");
        return nullptr;
    }
    if (S.module) return new_ref(S.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    name = Ref();
    PyObject *dict = PyModule_GetDict(module.get());
    for (const SpecCopy &copy : kSpecCopies) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, copy.spec_attr));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (value.get() == Py_None && !copy.copy_none) continue;
        if (PyDict_SetItemString(dict, copy.module_attr, value.get()) < 0) return nullptr;
    }
    return module.release();
}

// ---- exec step ------------------------------------------------------------

int check_version() noexcept {
    unsigned long runtime = pack_version(Py_GetVersion());
    if (version_matches(runtime, PY_MAJOR_VERSION, PY_MINOR_VERSION)) return 0;
    char message[200];
    format_version_warning(message, PY_MAJOR_VERSION, PY_MINOR_VERSION, runtime);
    return PyErr_WarnEx(nullptr, message, 1);
}

/// Whether the running exec step added sys.modules["loss"]: a failed import takes it away again.
bool added_alias = false;

/// Makes the module findable as "loss" whatever name its spec gave.
int register_module() noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found;
    int r = PyDict_GetItemRef(modules, S.names.loss, &found);
    Py_XDECREF(found);
    if (r != 0) return r < 0 ? -1 : 0;
    if (PyDict_SetItem(modules, S.names.loss, S.module) < 0) return -1;
    added_alias = true;
    return 0;
}

/// Undoes what a failed exec step left in the process: the alias it added and its
/// hold on the module and its namespace. The import's error stays the current one.
void forget_module() noexcept {
    Ref saved = Ref::steal(PyErr_GetRaisedException());
    if (added_alias) {
        PyObject *modules = PyImport_GetModuleDict();
        PyObject *found;
        if (PyDict_GetItemRef(modules, S.names.loss, &found) > 0 && found == S.module)
            PyDict_DelItem(modules, S.names.loss);
        Py_XDECREF(found);
        added_alias = false;
    }
    Py_CLEAR(S.module);
    Py_CLEAR(S.globals);
    PyErr_SetRaisedException(saved.release());
}

int cache_builtin(PyObject *&slot, PyObject *name) noexcept {
    PyObject *value = PyObject_GetAttr(S.builtins, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        return -1;
    }
    Py_XSETREF(slot, value);
    return 0;
}

int cache_builtins() noexcept {
    if (cache_builtin(S.builtin_sum, S.names.sum) < 0) return -1;
    if (cache_builtin(S.builtin_range, S.names.range) < 0) return -1;
    return cache_builtin(S.builtin_AssertionError, S.names.AssertionError);
}

/// Interns `texts` into `tuple`, from index `at` on.
int intern_into(PyObject *tuple, int at, const char *const *texts, int count) noexcept {
    for (int v = 0; v < count; ++v) {
        PyObject *name = PyUnicode_InternFromString(texts[v]);
        if (!name) return -1;
        PyTuple_SET_ITEM(tuple, at + v, name);
    }
    return 0;
}

PyObject *make_code(const FnRow &row, PyObject *varnames) noexcept {
    PyObject *name = S.names.*row.name;
    int nlocals = row.params.count + row.locals.count;
    return reinterpret_cast<PyObject *>(PyUnstable_Code_NewWithPosOnlyArgs(
        row.params.count, 0, 0, nlocals, 0, kCodeFlags, S.empty_bytes, S.empty_tuple, S.empty_tuple, varnames,
        S.empty_tuple, S.empty_tuple, S.file_name, name, name, row.def_line, S.empty_bytes, S.empty_bytes));
}

/// The tuples and code objects: shared defaults, the shared keyword, then per function what
/// its body alone uses, its variable names and its code.
int make_code_objects() noexcept {
    if (state_keep(S.defaults, PyTuple_Pack(3, S.int2, S.int6, Py_None)) < 0) return -1;
    if (state_keep(S.kw_dim, names_tuple({S.names.dim})) < 0) return -1;
    for (int f = 0; f < kFunctions; ++f) {
        const FnRow &row = *kRows[f];
        if (row.prepare && row.prepare() < 0) return -1;
        Ref varnames = Ref::steal(PyTuple_New(row.params.count + row.locals.count));
        if (!varnames) return -1;
        if (intern_into(varnames.get(), 0, row.params.texts, row.params.count) < 0) return -1;
        if (intern_into(varnames.get(), row.params.count, row.locals.texts, row.locals.count) < 0) return -1;
        if (state_keep(S.varnames[f], varnames.release()) < 0) return -1;
        if (state_keep(S.code[f], make_code(row, S.varnames[f])) < 0) return -1;
    }
    return 0;
}

/// The module found for `name`, unless an import of it is still in progress.
PyObject *imported_module(PyObject *name) noexcept {
    Ref module = Ref::steal(PyImport_GetModule(name));
    if (!module) {
        PyErr_Clear();
        return nullptr;
    }
    // None blocks the import: leave it to the import machinery to say so.
    if (module.get() == Py_None) return nullptr;
    Ref spec = Ref::steal(PyObject_GetAttr(module.get(), S.names.spec));
    if (spec) {
        Ref initializing = Ref::steal(PyObject_GetAttr(spec.get(), S.names.initializing));
        if (initializing && PyObject_IsTrue(initializing.get()) > 0) return nullptr;
    }
    PyErr_Clear();
    return module.release();
}

/// `import name`, bound in the module namespace.
int import_statement(PyObject *name) noexcept {
    Ref module = Ref::steal(imported_module(name));
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        if (!locals) return -1;
        module = Ref::steal(PyImport_ImportModuleLevelObject(name, S.globals, locals.get(), nullptr, 0));
        if (!module) return -1;
    }
    return PyDict_SetItem(S.globals, name, module.get());
}

/// `def name(...)`: creates the function object, with its defaults, and binds it.
int def_statement(int f) noexcept {
    const FnRow &row = *kRows[f];
    PyObject *name = S.names.*row.name;
    Ref fn = Ref::steal(
        reinterpret_cast<PyObject *>(fn_new(row, name, S.names.loss, S.globals, S.code[f], S.varnames[f])));
    if (!fn) return -1;
    return PyDict_SetItem(S.globals, name, fn.get());
}

int test_statement() noexcept {
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItem(S.globals, S.names.test, test.get());
}

/// The statements of "loss.py", each reporting its own line.
int run_statements() noexcept {
    Steps init("init loss");
    if (!init.ok(1, register_module())) return -1;
    if (!init.ok(1, cache_builtins())) return -1;
    if (!init.ok(1, make_code_objects())) return -1;
    if (!init.ok(1, import_statement(S.names.sys))) return -1;
    if (!init.ok(2, import_statement(S.names.torch))) return -1;
    if (!init.ok(4, import_statement(S.names.torch))) return -1;
    for (int f = 0; f < kFunctions; ++f) {
        if (!init.ok(kRows[f]->def_line, def_statement(f))) return -1;
    }
    return init.ok(1, test_statement()) ? 0 : -1;
}

/// Everything after the module is recorded; failures leave bindings made so far.
int exec_body(PyObject *module) noexcept {
    PyObject *dict = PyModule_GetDict(module);
    Py_INCREF(dict);
    Py_XSETREF(S.globals, dict);
    PyObject *builtins = PyImport_AddModuleRef("builtins");
    if (!builtins) return -1;
    Py_XSETREF(S.builtins, builtins);
    if (PyDict_SetItemString(dict, "__builtins__", builtins) < 0) return -1;
    if (check_version() < 0) return -1;
    if (state_keep(S.empty_tuple, PyTuple_New(0)) < 0) return -1;
    if (state_keep(S.empty_bytes, PyBytes_FromStringAndSize(nullptr, 0)) < 0) return -1;
    // The type is readied with the other objects that fail without an entry.
    if (fn_type_ready() < 0) return -1;
    if (state_make_constants() < 0) return -1;
    // Fixed at start-up (-O, PYTHONOPTIMIZE): read once, as the bodies' asserts need it.
    int level = 0;
    if (PyConfig_GetInt("optimization_level", &level) < 0) return -1;
    S.asserts = level == 0;
    return run_statements();
}

int exec_module(PyObject *module) noexcept {
    if (S.module) {
        if (S.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'loss' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    S.module = new_ref(module);
    added_alias = false;
    if (exec_body(module) < 0) {
        forget_module();
        return -1;
    }
    // Only a successful import ties the module to its interpreter.
    S.first_interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    LOSS_SLOT_ONE_INTERPRETER
    LOSS_SLOT_GIL_NOT_USED
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "loss", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace loss

LOSS_MODINIT PyInit_loss(void) { return PyModuleDef_Init(&loss::module_def); }

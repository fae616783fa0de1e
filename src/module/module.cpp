// module.cpp: the module definition, its create step and its exec step (the body of "loss.py").
#include "calls/function.h"
#include "calls/ops.h"
#include "compat.h"
#include "module/functions.h"
#include "module/version.h"
#include "state.h"

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

/// How far the recorded module (S.module) has come. Without the GIL its fields are read and
/// stored under S.mutex; with it, the GIL keeps each step's reads and stores together.
enum class Phase { none, created, running, done };

struct Record {
    Phase phase = Phase::none;
    unsigned long creator = 0;              // the thread that made the recorded module
    unsigned long runner = 0;               // the thread running the exec step
    PyThread_type_lock finished = nullptr;  // held while an exec step runs; made once
    PyThread_type_lock nap = nullptr;       // held for good: a timed acquire of it is a short sleep
};

// How long a create step waits for another thread to begin executing the module it made, in
// naps of a millisecond: past that, the module is taken as it is.
constexpr int kStartNaps = 5000;

Record record;

bool runs_here() noexcept { return record.phase == Phase::running && record.runner == PyThread_get_thread_ident(); }

/// What a create or exec step does next about the record.
enum class Next { go_on, wait, wait_start, fail };

/// Waits, without the GIL or the thread's attachment, for the running exec step to end.
void wait_for_exec() noexcept {
    Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(record.finished, WAIT_LOCK);
    PyThread_release_lock(record.finished);
    Py_END_ALLOW_THREADS
}

/// A millisecond without the GIL or the thread's attachment.
void nap() noexcept {
    Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock_timed(record.nap, 1000, 0);
    Py_END_ALLOW_THREADS
}

/// The interpreter checks of the create step; under the mutex.
Next check_interpreter() noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return Next::fail;  // the query's own error
    if (S.first_interpreter != -1 && S.first_interpreter != id) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return Next::fail;
    }
    // torch cannot be imported into a subinterpreter, and objects made there would
    // outlive it in the process-wide state: refuse before anything is made.
    if (S.first_interpreter == -1 && PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "loss can only be imported into the main interpreter: it and torch do not work in "
                        "subinterpreters.");
        return Next::fail;
    }
    if (!record.finished) {
        record.finished = PyThread_allocate_lock();
        record.nap = record.finished ? PyThread_allocate_lock() : nullptr;
        if (!record.nap || !PyThread_acquire_lock(record.nap, NOWAIT_LOCK)) {
            PyErr_NoMemory();
            return Next::fail;
        }
    }
    return Next::go_on;
}

/// The recorded module, where there is one to return (a new reference in `found`), or whether
/// to wait: an exec step running in another thread may still fail, and its module with it. The
/// thread running it gets it half made, as a nested `import loss` of the module body does in
/// Python. Under the mutex.
Next recorded(Ref &found, bool started_or_not) noexcept {
    Next next = check_interpreter();
    if (next != Next::go_on) return next;
    if (!S.module) return Next::go_on;
    if (record.phase == Phase::running && !runs_here()) return Next::wait;
    // The interpreter marks a module as executed when its first exec step begins and skips
    // any later one: the module another thread made is returned only once that thread has
    // begun to execute it (then the wait above is for its end).
    if (record.phase == Phase::created && record.creator != PyThread_get_thread_ident() && !started_or_not)
        return Next::wait_start;
    found = Ref::borrow(S.module);
    return Next::go_on;
}

/// A new module from `spec`, its attributes copied.
PyObject *new_module(PyObject *spec) noexcept {
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

/// Every create step returns the recorded module: one made but not yet executed (whichever
/// thread executes it first, the others wait for), one executed, or after an exec step failed
/// in another thread a new one. The first create step records its module, so that two threads
/// importing at once under different names never make two.
PyObject *create_module(PyObject *spec, PyModuleDef *) noexcept {
    for (int naps = 0;;) {
        Ref found;
        PyMutex_Lock(&S.mutex);
        Next next = recorded(found, naps == kStartNaps);
        PyMutex_Unlock(&S.mutex);
        if (next == Next::fail) return nullptr;
        if (next == Next::wait) {
            wait_for_exec();
            continue;
        }
        if (next == Next::wait_start) {
            ++naps;
            nap();
            continue;
        }
        if (found) return found.release();

        // Made outside the mutex: reading the spec may run Python code.
        Ref module = Ref::steal(new_module(spec));
        if (!module) return nullptr;
        PyMutex_Lock(&S.mutex);
        bool first = !S.module;
        if (first) {
            S.module = new_ref(module.get());
            record.phase = Phase::created;
            record.creator = PyThread_get_thread_ident();
        }
        PyMutex_Unlock(&S.mutex);
        // Another thread recorded one meanwhile: that one is the module.
        if (first) return module.release();
    }
}

// ---- exec step ------------------------------------------------------------

int check_version() noexcept {
    unsigned long runtime = pack_version(Py_GetVersion());
    if (version_matches(runtime, PY_MAJOR_VERSION, PY_MINOR_VERSION)) return 0;
    char message[200];
    format_version_warning(message, PY_MAJOR_VERSION, PY_MINOR_VERSION, runtime);
    return PyErr_WarnEx(nullptr, message, 1);
}

/// Makes the module findable as "loss" whatever name its spec gave, once it is whole: an
/// `import loss` in another thread meanwhile would take it from there half made.
int register_module(PyObject *module) noexcept {
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found;
    int r = PyDict_GetItemRef(modules, S.names.loss, &found);
    Py_XDECREF(found);
    if (r != 0) return r < 0 ? -1 : 0;
    return PyDict_SetItem(modules, S.names.loss, module);
}

/// Undoes what a failed exec step of `module` left in the process: its entry "loss" (the alias,
/// or one that an import nested in the module body made) and the record of the module and its
/// namespace, which other threads may then make anew. The import's error stays the current one.
void forget_module(PyObject *module) noexcept {
    Ref saved = Ref::steal(PyErr_GetRaisedException());
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *found;
    if (PyDict_GetItemRef(modules, S.names.loss, &found) > 0 && found == module) PyDict_DelItem(modules, S.names.loss);
    Py_XDECREF(found);
    PyErr_Clear();
    PyMutex_Lock(&S.mutex);
    // Released once the mutex is let go: their destructors may run Python code.
    Ref recorded = Ref::steal(S.module), globals = Ref::steal(S.globals);
    S.module = S.globals = nullptr;
    record.phase = Phase::none;
    record.runner = 0;
    PyThread_release_lock(record.finished);
    PyMutex_Unlock(&S.mutex);
    recorded = Ref();
    globals = Ref();
    PyErr_SetRaisedException(saved.release());
}

int cache_builtin(PyObject *&slot, PyObject *name) noexcept {
    return state_once(slot, [name]() -> PyObject * {
        PyObject *value = PyObject_GetAttr(S.builtins, name);
        if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        }
        return value;
    });
}

int cache_builtins() noexcept {
    if (cache_builtin(S.builtin_sum, S.names.sum) < 0) return -1;
    if (cache_builtin(S.builtin_range, S.names.range) < 0) return -1;
    return cache_builtin(S.builtin_AssertionError, S.names.AssertionError);
}

/// Interns `texts` into `tuple`, from index `at` on: a code object's variable names from the
/// row's texts (intern_names fills named slots instead).
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
PyObject *make_varnames(const FnRow &row) noexcept {
    Ref varnames = Ref::steal(PyTuple_New(row.params.count + row.locals.count));
    if (!varnames) return nullptr;
    if (intern_into(varnames.get(), 0, row.params.texts, row.params.count) < 0) return nullptr;
    if (intern_into(varnames.get(), row.params.count, row.locals.texts, row.locals.count) < 0) return nullptr;
    return varnames.release();
}

int make_code_objects() noexcept {
    if (state_once(S.defaults, [] { return PyTuple_Pack(3, S.int2, S.int6, Py_None); }) < 0) return -1;
    if (state_once(S.kw_dim, [] { return names_tuple({S.names.dim}); }) < 0) return -1;
    for (int f = 0; f < kFunctions; ++f) {
        const FnRow &row = *kRows[f];
        if (row.prepare && row.prepare() < 0) return -1;
        if (state_once(S.varnames[f], [&row] { return make_varnames(row); }) < 0) return -1;
        if (state_once(S.code[f], [&row, f] { return make_code(row, S.varnames[f]); }) < 0) return -1;
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
    Ref fn =
        Ref::steal(reinterpret_cast<PyObject *>(fn_new(row, name, S.names.loss, S.globals, S.code[f], S.varnames[f])));
    if (!fn) return -1;
    return PyDict_SetItem(S.globals, name, fn.get());
}

int test_statement() noexcept {
    Ref test = Ref::steal(PyDict_New());
    if (!test) return -1;
    return PyDict_SetItem(S.globals, S.names.test, test.get());
}

/// The statements of "loss.py", each reporting its own line.
int run_statements(PyObject *module) noexcept {
    Steps init("init loss", S.globals);
    if (!init.ok(1, cache_builtins())) return -1;
    if (!init.ok(1, make_code_objects())) return -1;
    if (!init.ok(1, import_statement(S.names.sys))) return -1;
    if (!init.ok(2, import_statement(S.names.torch))) return -1;
    if (!init.ok(4, import_statement(S.names.torch))) return -1;
    for (int f = 0; f < kFunctions; ++f) {
        if (!init.ok(kRows[f]->def_line, def_statement(f))) return -1;
    }
    if (!init.ok(1, test_statement())) return -1;
    return init.ok(1, register_module(module)) ? 0 : -1;
}

/// Everything after the module is recorded; failures leave bindings made so far.
int exec_body(PyObject *module) noexcept {
    PyObject *dict = S.globals;
    if (state_once(S.builtins, [] { return PyImport_AddModuleRef("builtins"); }) < 0) return -1;
    if (PyDict_SetItemString(dict, "__builtins__", S.builtins) < 0) return -1;
    if (check_version() < 0) return -1;
    if (state_once(S.empty_tuple, [] { return PyTuple_New(0); }) < 0) return -1;
    if (state_once(S.empty_bytes, [] { return PyBytes_FromStringAndSize(nullptr, 0); }) < 0) return -1;
    // The type is readied with the other objects that fail without an entry.
    if (fn_type_ready() < 0) return -1;
    if (state_make_constants() < 0) return -1;
    // Fixed at start-up (-O, PYTHONOPTIMIZE): read once, as the bodies' asserts need it.
    PyObject *flags = PySys_GetObject("flags");  // borrowed; no import machinery runs
    if (!flags) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.flags");
        return -1;
    }
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) return -1;
    int truth = PyObject_IsTrue(optimize.get());
    if (truth < 0) return -1;
    S.asserts.store(truth == 0, std::memory_order_relaxed);
    return run_statements(module);
}

/// Whether this thread runs the exec step of `module`, has nothing to do, waits for another
/// thread's exec step or refuses. Under the mutex.
Next claim(PyObject *module, bool &run) noexcept {
    run = false;
    bool running_elsewhere = record.phase == Phase::running && !runs_here();
    if (S.module && S.module != module) {
        if (running_elsewhere) return Next::wait;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'loss' has already been imported. Re-initialisation is not supported.");
        return Next::fail;
    }
    if (S.module && record.phase != Phase::created) return running_elsewhere ? Next::wait : Next::go_on;
    if (!S.module) S.module = new_ref(module);
    // No waiter holds the lock for more than a moment.
    PyThread_acquire_lock(record.finished, WAIT_LOCK);
    record.phase = Phase::running;
    record.runner = PyThread_get_thread_ident();
    S.globals = new_ref(PyModule_GetDict(module));
    run = true;
    return Next::go_on;
}

int exec_module(PyObject *module) noexcept {
    for (;;) {
        bool run;
        PyMutex_Lock(&S.mutex);
        Next next = claim(module, run);
        PyMutex_Unlock(&S.mutex);
        if (next == Next::fail) return -1;
        if (next == Next::wait) {
            wait_for_exec();
            continue;
        }
        if (!run) return 0;
        break;
    }
    if (exec_body(module) < 0) {
        forget_module(module);
        return -1;
    }
    PyMutex_Lock(&S.mutex);
    // Only a successful import ties the module to its interpreter.
    S.first_interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    S.loaded.store(S.globals, std::memory_order_release);
    record.phase = Phase::done;
    record.runner = 0;
    PyThread_release_lock(record.finished);
    PyMutex_Unlock(&S.mutex);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    LOSS_SLOT_ONE_INTERPRETER LOSS_SLOT_GIL_NOT_USED{0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "loss", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace loss

LOSS_MODINIT PyInit_loss(void) { return PyModuleDef_Init(&loss::module_def); }

// traceback.cpp: traceback entries and the process-wide code-object cache keyed by line and
// entry name.
#include "calls/traceback.h"

#include "compat.h"
#include "state.h"

#include <cstring>

namespace loss {

namespace {

struct CachedCode {
    int line;
    const char *entry;
    PyObject *code;
};

// Sorted by line; lives until the process ends. One line can carry several entry names (a def
// line is the exec step's, the binder's and the defaults getter's), each its own code object.
struct CodeCache {
    CachedCode *pairs = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeCache cache;
constexpr int kCacheStep = 64;
// Guards the cache without the GIL. Held around find and insert only, never across a call
// that can run Python code (making a code object can run a collection and finalizers, which
// may fail and add entries of their own).
PyMutex cache_mutex;

/// Index of the pair of (`line`, `entry`), or else of where it would go: the end of that line's
/// pairs.
int cache_find(int line, const char *entry) noexcept {
    int lo = 0, hi = cache.count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (cache.pairs[mid].line < line)
            lo = mid + 1;
        else
            hi = mid;
    }
    while (lo < cache.count && cache.pairs[lo].line == line && std::strcmp(cache.pairs[lo].entry, entry) != 0) ++lo;
    return lo;
}

bool cache_has(int pos, int line) noexcept { return pos < cache.count && cache.pairs[pos].line == line; }

/// The code object cached for (`line`, `entry`) (a new reference), or null.
PyObject *cache_get(int line, const char *entry) noexcept {
    PyMutex_Lock(&cache_mutex);
    int pos = cache_find(line, entry);
    PyObject *code = cache_has(pos, line) ? new_ref(cache.pairs[pos].code) : nullptr;
    PyMutex_Unlock(&cache_mutex);
    return code;
}

/// Stores (line, entry, code) unless they are cached already; a failed allocation only loses
/// the caching. `entry` is a static text.
void cache_insert(int line, const char *entry, PyObject *code) noexcept {
    PyMutex_Lock(&cache_mutex);
    int pos = cache_find(line, entry);
    bool cached = cache_has(pos, line);
    if (!cached && cache.count == cache.capacity) {
        size_t grown = static_cast<size_t>(cache.capacity) + kCacheStep;
        auto *pairs = static_cast<CachedCode *>(PyMem_Realloc(cache.pairs, grown * sizeof(CachedCode)));
        if (pairs) {
            cache.pairs = pairs;
            cache.capacity = static_cast<int>(grown);
        }
    }
    if (!cached && cache.count < cache.capacity) {
        std::memmove(cache.pairs + pos + 1, cache.pairs + pos,
                     static_cast<size_t>(cache.count - pos) * sizeof(CachedCode));
        Py_INCREF(code);
        cache.pairs[pos] = CachedCode{line, entry, code};
        ++cache.count;
    }
    PyMutex_Unlock(&cache_mutex);
}

}  // namespace

void add_entry(const char *entry, int line, PyObject *globals) noexcept {
    if (!globals) return;
    Ref code;
    Ref frame;
    {
        // 3.12 refuses to make a frame while an exception is set: keep it aside
        // until both the code object and the frame exist.
        Ref saved = Ref::steal(PyErr_GetRaisedException());
        code = Ref::steal(cache_get(line, entry));
        if (!code) {
            code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("loss.py", entry, line)));
            if (!code) return;  // the new error replaces the saved one
            // Another thread may have cached it meanwhile: the insert looks again.
            cache_insert(line, entry, code.get());
        }
        // A fresh frame reports its code object's first line on every version.
        frame = Ref::steal(
            reinterpret_cast<PyObject *>(traceback_frame(reinterpret_cast<PyCodeObject *>(code.get()), globals)));
        PyErr_Clear();
        PyErr_SetRaisedException(saved.release());
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace loss

// traceback.cpp: traceback entries and the process-wide code-object cache keyed by line.
#include "calls/traceback.h"

#include "compat.h"
#include "state.h"

#include <cstring>

namespace loss {

namespace {

struct CachedCode {
    int line;
    PyObject *code;
};

// Sorted by line; lives until the process ends.
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

/// Index of the first pair whose line is not below `line`.
int cache_find(int line) noexcept {
    int lo = 0, hi = cache.count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (cache.pairs[mid].line < line)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

/// The code object cached for `line` (a new reference), or null.
PyObject *cache_get(int line) noexcept {
    PyMutex_Lock(&cache_mutex);
    int pos = cache_find(line);
    PyObject *code = pos < cache.count && cache.pairs[pos].line == line ? new_ref(cache.pairs[pos].code) : nullptr;
    PyMutex_Unlock(&cache_mutex);
    return code;
}

/// Stores (line, code) unless the line is cached already; a failed allocation only loses
/// the caching.
void cache_insert(int line, PyObject *code) noexcept {
    PyMutex_Lock(&cache_mutex);
    int pos = cache_find(line);
    bool cached = pos < cache.count && cache.pairs[pos].line == line;
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
        cache.pairs[pos] = CachedCode{line, code};
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
        code = Ref::steal(cache_get(line));
        if (!code) {
            code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("loss.py", entry, line)));
            if (!code) return;  // the new error replaces the saved one
            // Another thread may have cached the line meanwhile: the insert looks again.
            if (line != 0) cache_insert(line, code.get());
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

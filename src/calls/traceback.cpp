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

/// Stores (line, code) at `pos`; a failed allocation only loses the caching.
void cache_insert(int pos, int line, PyObject *code) noexcept {
    if (cache.count == cache.capacity) {
        size_t grown = static_cast<size_t>(cache.capacity) + kCacheStep;
        auto *pairs = static_cast<CachedCode *>(PyMem_Realloc(cache.pairs, grown * sizeof(CachedCode)));
        if (!pairs) return;
        cache.pairs = pairs;
        cache.capacity = static_cast<int>(grown);
    }
    std::memmove(cache.pairs + pos + 1, cache.pairs + pos, static_cast<size_t>(cache.count - pos) * sizeof(CachedCode));
    Py_INCREF(code);
    cache.pairs[pos] = CachedCode{line, code};
    ++cache.count;
}

}  // namespace

void add_entry(const char *entry, int line) noexcept {
    if (!S.globals) return;
    Ref code;
    Ref frame;
    {
        // 3.12 refuses to make a frame while an exception is set: keep it aside
        // until both the code object and the frame exist.
        compat::SavedError saved;
        int pos = cache_find(line);
        if (pos < cache.count && cache.pairs[pos].line == line) {
            code = Ref::borrow(cache.pairs[pos].code);
        } else {
            code = Ref::steal(reinterpret_cast<PyObject *>(PyCode_NewEmpty("loss.py", entry, line)));
            if (!code) return;  // the new error replaces the saved one
            // Making the code object may run a collection, and finalizers may
            // let another thread add entries: look again before inserting.
            pos = cache_find(line);
            bool cached = pos < cache.count && cache.pairs[pos].line == line;
            if (line != 0 && !cached) cache_insert(pos, line, code.get());
        }
        // A fresh frame reports its code object's first line on every version.
        frame = Ref::steal(reinterpret_cast<PyObject *>(
            compat::frame_new(reinterpret_cast<PyCodeObject *>(code.get()), S.globals)));
        PyErr_Clear();
        saved.restore();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace loss

// ref.h: the owning reference handle used for every local object.
#pragma once

#include <Python.h>

namespace loss {

/// An owned reference. Ownership is chosen by name: `steal` takes a new
/// reference, `borrow` adds one. Move-only; it releases on every exit path.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (&other == this) return *this;
        // Store the new value first, then drop the old one: its destructor may
        // run arbitrary code. The old reference goes even when the new value is
        // the same object (an in-place operator hands its operand back).
        PyObject *old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    /// Hands the reference out; the handle is empty afterwards.
    PyObject *release() noexcept {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

/// A new reference to `o`, for returning borrowed objects.
inline PyObject *new_ref(PyObject *o) noexcept {
    Py_INCREF(o);
    return o;
}

}  // namespace loss

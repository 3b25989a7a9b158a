// Ref: the one owner of a strong reference held in a local. Move-only,
// released by its destructor, made only through named constructors so that
// every call site says what kind of pointer it was handed.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarn {

class [[nodiscard]] Ref {
public:
    Ref() noexcept = default;
    // Adopt a new reference that an API call returned (may be null).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Take a reference of our own to a borrowed pointer (may be null).
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    Ref(Ref &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref &operator=(Ref &&o) noexcept
    {
        Ref old(std::move(*this));  // released after the store, not before
        p_ = std::exchange(o.p_, nullptr);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }  // still owned by us
    [[nodiscard]] PyObject *release() noexcept
    {
        return std::exchange(p_, nullptr);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_ = nullptr;
};

// Store a new value into a record field, then drop the old one: the old
// value's finaliser may read the field, so it must already hold the new one.
inline void
set_field(PyObject *&field, PyObject *value) noexcept
{
    PyObject *old = field;
    Py_INCREF(value);
    field = value;
    Py_XDECREF(old);
}

// Same, adopting a reference the caller owns.
inline void
set_field(PyObject *&field, Ref value) noexcept
{
    PyObject *old = field;
    field = value.release();
    Py_XDECREF(old);
}

// Holds one level of the interpreter's native recursion counter for as long
// as it lives. Name it: a temporary would leave the level at once.
class [[nodiscard]] RecursionGuard {
public:
    explicit RecursionGuard(const char *where) noexcept
        : entered_(Py_EnterRecursiveCall(where) == 0)
    {
    }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    // False when the limit was reached; RecursionError is then set.
    bool entered() const noexcept { return entered_; }

private:
    bool entered_;
};

}  // namespace tarn

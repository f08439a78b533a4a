// An owning handle for one Python reference, so that every exit path,
// C++ exceptions included, releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quorl::host {

class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(other.release()) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    // Takes over a new reference (null when the call that made it failed).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference over to the caller (for APIs that steal one).
    PyObject* release() { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quorl::host

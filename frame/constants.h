// Module constants: strings, names and cached module-global look-ups.
//
// Module code declares its constants as namespace-scope objects next to their
// use; each registers itself, and the exec step makes them all once. They live
// as long as the process: a failed import that is tried again reuses them.
#pragma once

#include "ref.h"

namespace frame {

class Constant {
public:
    Constant(const Constant &) = delete;
    Constant &operator=(const Constant &) = delete;

    // Makes every registered constant not made yet; -1 with an exception set on failure.
    static int make_all();

protected:
    Constant() : next_(head_) { head_ = this; }
    ~Constant() = default;
    virtual int make() = 0;

private:
    inline static Constant *head_ = nullptr;
    Constant *next_;
};

// A str constant; names are interned so that keyword matching can go by identity.
class Str : public Constant {
public:
    explicit Str(const char *text, bool interned = false) : text_(text), interned_(interned) {}
    PyObject *get() const noexcept { return object_; }
    operator PyObject *() const noexcept { return object_; }
    const char *text() const noexcept { return text_; }

protected:
    int make() override;

private:
    const char *text_;
    bool interned_;
    PyObject *object_ = nullptr;
};

class Name : public Str {
public:
    explicit Name(const char *text) : Str(text, true) {}
};

class Int : public Constant {
public:
    explicit Int(long value) : value_(value) {}
    operator PyObject *() const noexcept { return object_; }

protected:
    int make() override;

private:
    long value_;
    PyObject *object_ = nullptr;
};

// A module-level name of this module. Reads go to the module dict at each use
// and fall back to the builtins; a read is served from the cache while the
// dict's version tag is the one recorded with the cached value.
class Global : public Name {
public:
    explicit Global(const char *text) : Name(text) {}
    inline Ref get();
    void set(PyObject *value);

private:
    Ref look_up();

    // Borrowed: while the dict's version tag is still version_, the dict is
    // unchanged and holds the value; a stale entry keeps nothing alive.
    uint64_t version_ = 0;
    PyObject *cached_ = nullptr;
};

// A builtin the module's code uses by name, resolved when the module is executed.
class Builtin : public Name {
public:
    explicit Builtin(const char *text);
    PyObject *get() const noexcept { return object_; }
    static int resolve_all(PyObject *builtins_module);

private:
    inline static Builtin *head_ = nullptr;
    Builtin *next_builtin_;
    PyObject *object_ = nullptr;
};

// Names that get() and set() act on: the dict of the module being executed or
// whose functions run (one module per shared library), and the builtins.
namespace detail {
inline PyObject *module_dict = nullptr;  // set by the exec step
}
inline PyObject *module_dict() noexcept { return detail::module_dict; }
PyObject *builtins_dict() noexcept;

inline Ref Global::get()
{
    if (cached_ && reinterpret_cast<PyDictObject *>(module_dict())->ma_version_tag == version_)
        return Ref::borrow(cached_);
    return look_up();
}

}  // namespace frame
